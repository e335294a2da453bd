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
        bool returnedWhileOpen = true, guiThreadAndIcon = false;
        QMessageBox* seen = nullptr;
        QString text, caption;
        QWidget* parent = nullptr;
        onNextModal("QMessageBox", [&](QWidget* widget) {
            seen = static_cast<QMessageBox*>(widget);
            text = seen->text();
            caption = seen->windowTitle();
            parent = seen->parentWidget();
            guiThreadAndIcon =
                seen->thread() == QThread::currentThread() && seen->icon() == QMessageBox::Information;
            QTest::qWait(30);
            returnedWhileOpen = returned.load();
            QTest::keyClick(seen, Qt::Key_Return);
        });
        std::thread worker([&] {
            ShowMessage("Upload Successfull     ", MessageIcon::Information);
            returned = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(returned.load(), 10000);
        worker.join();
        QVERIFY(seen && guiThreadAndIcon && !returnedWhileOpen);
        QCOMPARE(text, QString("Upload Successfull     "));
        QCOMPARE(caption, QString("zu-thread-box"));
        QCOMPARE(parent, &dialog);
    }
};

QTEST_MAIN(ShowMessageThreadedTest)
#include "tst_ShowMessageThreaded.moc"
