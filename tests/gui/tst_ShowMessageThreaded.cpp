// ShowMessage from a worker thread: the box is shown on the GUI thread, with
// the same caption and owner, and the worker returns only once it is closed.
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
    void cleanup() { setShowMessageHook({}); }

    void hookRunsOnGuiThreadWhileWorkerWaits() {
        TestApp t("zu-thread-hook");
        UpdateDialog dialog;
        t.app().setMainWindow(&dialog); // not shown: painting a window this size uses Qt's own threads
        QThread* gui = QThread::currentThread();
        QList<MessageRecord> seen;
        bool onGuiThread = false;
        std::atomic<bool> returned{false};
        setShowMessageHook([&](const MessageRecord& record) {
            onGuiThread = QThread::currentThread() == gui;
            seen.append(record);
            QVERIFY(!returned.load()); // the worker is still waiting
        });
        std::thread worker([&] {
            ShowMessage("Failed to upload file", MessageIcon::Stop);
            returned = true;
        });
        QTRY_VERIFY(returned.load());
        worker.join();
        QCOMPARE(seen.size(), 1);
        QVERIFY(onGuiThread);
        QCOMPARE(seen[0].caption, QString("zu-thread-hook"));
        QCOMPARE(seen[0].owner, &dialog);
    }

    void realBoxFromWorker() {
        TestApp t("zu-thread-box");
        UpdateDialog dialog;
        t.app().setMainWindow(&dialog); // not shown: painting a window this size uses Qt's own threads
        std::atomic<bool> returned{false};
        bool returnedWhileOpen = true;
        QString text;
        QWidget* parent = nullptr;
        onNextModal("QMessageBox", [&](QWidget* widget) {
            auto* box = static_cast<QMessageBox*>(widget);
            text = box->text();
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
        QVERIFY(!returnedWhileOpen);
        QCOMPARE(text, QString("Upload Successfull     "));
        QCOMPARE(parent, &dialog);
    }
};

QTEST_MAIN(ShowMessageThreadedTest)
#include "tst_ShowMessageThreaded.moc"
