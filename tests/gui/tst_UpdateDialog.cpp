// Main dialog: start order (scan before the file box, once), which keys end
// it and how,
// Refresh replacing rows on their slots, the file box filled from the store
// through its filter, Browse, the info line only on request, typing bounds.
#include "GuiTestSupport.h"

#include "ResourceIds.h"
#include "UpdateDialog.h"

#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QSignalSpy>

namespace {

QStringList callNames() {
    QStringList names;
    for (const fakedll::Call& call : fakedll::calls())
        names.append(QString::fromStdString(call.function));
    return names;
}

} // namespace

class UpdateDialogTest : public QObject {
    Q_OBJECT

private slots:
    void init() { fakedll::reset(); }

    void startScansBeforeFillingTheFileBox() {
        TestApp t("zu-gui-start");
        t.storeRecentFiles({{"File1", "/fw/net.bin"}});
        t.app().startUp();
        scriptStation({11, 12});
        fakedll::setFileInfo("/fw/net.bin", {"NET", 1, 2, 3, 2, 4, 5, 1});
        UpdateDialog dialog;
        QVERIFY(fakedll::calls().empty()); // nothing before the dialog starts
        dialog.show();
        QCOMPARE(callNames(),
                 QStringList({"DllScanNetwork", "DllGetRemoteInfo", "DllGetRemoteInfo", "DllGetFileInfo"}));
        QCOMPARE(dialog.deviceList()->count(), 2);
        QVERIFY(dialog.deviceList()->selectedItems().isEmpty());
        QCOMPARE(dialog.infoLine()->text(), QString("[NetAppl]  NET  Ver. 4.05  Date: 1/2/3"));
        dialog.hide();
        dialog.show(); // showing again does not start again
        QCOMPARE(fakedll::calls().size(), size_t(4));
    }

    void waysOut_data() {
        QTest::addColumn<int>("focusId");
        QTest::addColumn<int>("key");      // 0: the close box
        QTest::addColumn<int>("expected"); // -1: still open
        QTest::newRow("Enter in file box") << IDC_FILE_BOX << int(Qt::Key_Return) << int(QDialog::Accepted);
        QTest::newRow("keypad Enter in list")
            << IDC_DEVICE_LIST << int(Qt::Key_Enter) << int(QDialog::Accepted);
        QTest::newRow("Enter on Use Com1") << IDC_USE_COM1 << int(Qt::Key_Return) << int(QDialog::Accepted);
        QTest::newRow("Enter on Exit") << kIdCancel << int(Qt::Key_Return) << int(QDialog::Rejected);
        QTest::newRow("Enter on Refresh") << IDC_REFRESH << int(Qt::Key_Return) << -1;
        QTest::newRow("Enter on Info") << IDC_INFO << int(Qt::Key_Return) << -1;
        QTest::newRow("Escape in list") << IDC_DEVICE_LIST << int(Qt::Key_Escape) << int(QDialog::Rejected);
        QTest::newRow("close box") << IDC_REFRESH << 0 << int(QDialog::Rejected);
    }
    void waysOut() {
        QFETCH(int, focusId);
        QFETCH(int, key);
        QFETCH(int, expected);
        TestApp t("zu-gui-keys");
        t.storeRecentFiles({{"File1", "/fw/a.bin"}});
        t.app().startUp();
        scriptStation({5});
        UpdateDialog dialog;
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        dialog.control(focusId)->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), dialog.control(focusId));
        if (key == 0)
            QVERIFY(dialog.close());
        else
            QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
        if (expected < 0) { // the button was pressed instead: asked again
            QVERIFY(dialog.isVisible() && finished.isEmpty());
            const char* function = focusId == IDC_REFRESH ? "DllScanNetwork" : "DllGetFileInfo";
            QCOMPARE(fakedll::calls(function).size(), size_t(2));
        } else {
            QVERIFY(!dialog.isVisible());
            QCOMPARE(finished.size(), 1);
            QCOMPARE(finished.first().first().toInt(), expected);
        }
    }

    void refreshReplacesRows() {
        TestApp t("zu-gui-refresh");
        scriptStation({1, 2, 3});
        UpdateDialog dialog;
        dialog.show();
        QCOMPARE(dialog.deviceList()->count(), 3);
        dialog.deviceList()->item(1)->setSelected(true);

        fakedll::reset();
        fakedll::setScan({40, 41, 42});
        fakedll::setDevice(40, clusterInfo("Desk", 'A', 2));
        fakedll::setDevice(42, fakedll::makeRemoteInfo(10, 0, 0, 7, "Fader", 1, 2, 0, 0, 1, 10));
        QTest::mouseClick(dialog.control(IDC_REFRESH), Qt::LeftButton);
        QCOMPARE(dialog.deviceList()->count(), 2);
        QCOMPARE(dialog.deviceList()->item(1)->text(),
                 QString("     42  |  10.0.0.7  |  V.  1.10  |  Fader  |  Pellard 64 "));
        QVERIFY(dialog.deviceList()->selectedItems().isEmpty());
        QCOMPARE(dialog.slotTable().ids[dialog.slotTable().slotOfRow(1)], 42); // the device that answered

        fakedll::setScan({});
        QTest::mouseClick(dialog.control(IDC_REFRESH), Qt::LeftButton);
        QCOMPARE(dialog.deviceList()->count(), 0);
    }

    void fileBoxOffersFilteredRecord() {
        TestApp t("zu-gui-filebox");
        t.storeRecentFiles({{"File1", "/fw/net.bin"},
                            {"File2", "/FW/NET.BIN"},
                            {"File4", "bin/net.bin"},
                            {"File5", "bin/net.mem"},
                            {"File7", "/x/a.ach"},
                            {"File11", "/fw/eleven.bin"}});
        t.app().startUp();
        UpdateDialog dialog;
        dialog.show();
        QStringList items;
        for (int i = 0; i < dialog.fileBox()->count(); ++i)
            items.append(dialog.fileBox()->itemText(i));
        QCOMPARE(items, QStringList({"/fw/net.bin", "bin/net.mem", "/x/a.ach"}));
        QCOMPARE(dialog.fileBoxText(), QString("/fw/net.bin"));
        // Unknown to the library: described as invalid, and asked about exactly that path.
        QCOMPARE(dialog.infoLine()->text(), QString("Invalid program file"));
        QCOMPARE(fakedll::calls("DllGetFileInfo").size(), size_t(1));
        QCOMPARE(fakedll::calls("DllGetFileInfo").front().path, std::string("/fw/net.bin"));
    }

    // The same file twice: twice in the box, once (first) in the record;
    // cancelling changes and asks nothing.
    void browseAppendsToBoxAndRecord() {
        TestApp t("zu-gui-browse");
        t.storeRecentFiles({{"File1", "/fw/old.bin"}});
        t.app().startUp();
        const QString chosen = QDir(t.dir()).filePath("image.mem");
        fakedll::setFileInfo(QFile::encodeName(chosen).toStdString(),
                             {"GRAPH", 9, 8, 2024 + 256, 4, 1, 0, 1});
        UpdateDialog dialog;
        QString answer = chosen;
        dialog.setFileChooser([&](QWidget* parent) { return parent == &dialog ? answer : QString(); });
        dialog.show();
        for (int pick : {1, 2, 3}) {
            if (pick == 3)
                answer.clear();
            const size_t queries = fakedll::calls("DllGetFileInfo").size();
            QTest::mouseClick(dialog.control(IDC_BROWSE), Qt::LeftButton);
            QCOMPARE(dialog.fileBox()->count(), std::min(pick + 1, 3));
            QCOMPARE(dialog.fileBox()->currentIndex(), std::min(pick, 2)); // the last added
            QCOMPARE(fakedll::calls("DllGetFileInfo").size(), queries + (answer.isEmpty() ? 0 : 1));
        }
        QCOMPARE(dialog.fileBoxText(), chosen);
        QCOMPARE(dialog.infoLine()->text(), QString("[GraphAppl]  GRAPH  Ver. 1.00  Date: 9/8/232"));
        QCOMPARE(t.app().recentFiles().entry(0), chosen);
        QCOMPARE(t.app().recentFiles().entry(2), QString());
    }

    // Picking another entry or typing leaves the info line alone; "Info:" uses
    // the typed text. Typing stops at the box's width.
    void onlyInfoDescribesTypedPath() {
        TestApp t("zu-gui-typing");
        t.storeRecentFiles({{"File1", "/fw/a.bin"}, {"File2", "/fw/b.bin"}});
        t.app().startUp();
        fakedll::setFileInfo("/fw/a.bin", {"A", 1, 1, 1, 1, 1, 0, 1});
        fakedll::setFileInfo("/fw/b.bin2", {"B2", 3, 3, 3, 255, 1, 0, 1});
        UpdateDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        const QString first = dialog.infoLine()->text();
        QCOMPARE(first, QString("[NetBoot]  A  Ver. 1.00  Date: 1/1/1"));
        dialog.fileBox()->setFocus();
        QTest::keyClick(dialog.fileBox(), Qt::Key_Down); // next entry, closed box
        QTest::keyClick(dialog.fileBox(), Qt::Key_End);
        QTest::keyClicks(dialog.fileBox(), "2");
        QCOMPARE(dialog.fileBoxText(), QString("/fw/b.bin2"));
        QCOMPARE(dialog.infoLine()->text(), first);
        QCOMPARE(fakedll::calls("DllGetFileInfo").size(), size_t(1));
        QTest::mouseClick(dialog.control(IDC_INFO), Qt::LeftButton);
        QCOMPARE(dialog.infoLine()->text(), QString("[Archive]  B2  Ver. 1.00  Date: 3/3/3"));
        QCOMPARE(dialog.fileBox()->count(), 2); // typing never adds an entry

        dialog.fileBox()->setFocus();
        QTest::keyClicks(dialog.fileBox(), QString(300, QLatin1Char('W')));
        const QString typed = dialog.fileBoxText();
        QVERIFY(typed.size() > 15 && typed.size() < 300);
        QLineEdit* edit = dialog.fileBox()->lineEdit();
        QVERIFY(edit->fontMetrics().horizontalAdvance(typed) <= edit->width());
        QTest::keyClick(dialog.fileBox(), Qt::Key_Backspace);
        QCOMPARE(dialog.fileBoxText().size(), typed.size() - 1);
    }
};

QTEST_MAIN(UpdateDialogTest)
#include "tst_UpdateDialog.moc"
