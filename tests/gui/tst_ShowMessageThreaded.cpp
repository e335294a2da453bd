// ShowMessage from a worker thread: the real box is shown on the GUI thread
// with the program's caption, the text exactly and the main window as owner,
// and the worker returns only once it is closed.
#include "GuiTestSupport.h"

#include "ShowMessage.h"
#include "UpdateDialog.h"

#include <QMessageBox>
#include <QThread>

#include <atomic>
#include <thread>

class ShowMessageThreadedTest : public QObject {
    Q_OBJECT

private slots:
    void realBoxFromWorker() {
        TestApp t("zu-thread-box");
        UpdateDialog dialog;
        t.app().setMainWindow(&dialog); // not shown: painting a window this size uses Qt's own threads
        std::atomic<bool> returned{false};
        bool returnedWhileOpen = true;
        bool onGuiThread = false;
        QString text, caption;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QWidget* parent = nullptr;
        QThread* gui = QThread::currentThread();
        onNextModal("QMessageBox", [&](QWidget* widget) {
            auto* box = static_cast<QMessageBox*>(widget);
            onGuiThread = box->thread() == gui;
            text = box->text();
            caption = box->windowTitle();
            icon = box->icon();
            parent = box->parentWidget();
            QTest::qWait(30);
            returnedWhileOpen = returned.load();
            QTest::keyClick(box, Qt::Key_Return);
        });
        std::thread worker([&] {
            ShowMessage("Upload Successfull     ", MessageIcon::Information);
            returned = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(returned.load(), 10000);
        worker.join();
        QVERIFY(onGuiThread);
        QVERIFY(!returnedWhileOpen);
        QCOMPARE(text, QString("Upload Successfull     "));
        QCOMPARE(caption, QString("zu-thread-box"));
        QCOMPARE(icon, QMessageBox::Information);
        QCOMPARE(parent, &dialog);
    }
};

QTEST_MAIN(ShowMessageThreadedTest)
#include "tst_ShowMessageThreaded.moc"
