// Main dialog: start order (scan before the file box), layout from dialog
// units, focus and tab order, Enter/Escape/close box and refused closing,
// Refresh, the file box filled from the store through its filter, Browse and
// the info line.
#include "GuiTestSupport.h"

#include "DialogTemplates.h"
#include "ResourceIds.h"
#include "UpdateDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>

namespace {

const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

QString focusName() {
    return QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : "none";
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
        QCOMPARE(dialog.progressBar()->minimum(), 0);
        QCOMPARE(dialog.progressBar()->maximum(), 100);
        QCOMPARE(dialog.windowTitle(), QString("Zentavo software update"));
        QVERIFY(!dialog.windowIcon().isNull());

        // Showing again does not start again.
        dialog.hide();
        dialog.show();
        QCOMPARE(fakedll::calls().size(), size_t(4));
    }

    void mulDivRounds_data() {
        QTest::addColumn<int>("number");
        QTest::addColumn<int>("numerator");
        QTest::addColumn<int>("denominator");
        QTest::addColumn<int>("expected");
        QTest::newRow("exact") << 8 << 13 << 8 << 13;
        QTest::newRow("half rounds up") << 1 << 3 << 2 << 2;
        QTest::newRow("just below half") << 3 << 13 << 8 << 5; // 4.875
        QTest::newRow("just above") << 5 << 13 << 8 << 8;      // 8.125
        QTest::newRow("negative half away from zero") << -1 << 3 << 2 << -2;
        QTest::newRow("zero") << 0 << 7 << 4 << 0;
        QTest::newRow("product beyond 32 bits") << 1000000000 << 6 << 4 << 1500000000;
    }
    void mulDivRounds() {
        QFETCH(int, number);
        QFETCH(int, numerator);
        QFETCH(int, denominator);
        QFETCH(int, expected);
        QCOMPARE(mulDiv(number, numerator, denominator), expected);
    }

    void layoutFollowsDialogUnits() {
        TestApp t("zu-gui-layout");
        UpdateDialog dialog;
        dialog.show();

        const QFontMetrics metrics(dialog.font());
        const int bx = (metrics.horizontalAdvance(kLetters) + 26) / 52;
        const int by = metrics.height();
        QVERIFY(bx > 0 && by > 0);
        const auto px = [bx](int x) { return qRound(x * bx / 4.0); };
        const auto py = [by](int y) { return qRound(y * by / 8.0); };

        QCOMPARE(dialog.size(), QSize(px(343), py(268)));
        QCOMPARE(dialog.minimumSize(), dialog.maximumSize()); // fixed size
        const Qt::WindowFlags flags = dialog.windowFlags();
        QVERIFY(flags & Qt::WindowTitleHint);
        QVERIFY(flags & Qt::WindowCloseButtonHint);
        QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));

        for (const ControlTemplate& c : updateDialogTemplate().controls) {
            if (c.id == kStaticId)
                continue;
            QWidget* w = dialog.control(c.id);
            QVERIFY2(w, qPrintable(QString::number(c.id)));
            const QRect expected(px(c.x), py(c.y), px(c.cx), py(c.cy));
            if (c.kind == ControlKind::ComboBox) {
                // The template height is the dropped-down extent.
                QCOMPARE(w->pos(), expected.topLeft());
                QCOMPARE(w->width(), expected.width());
            } else {
                QCOMPARE(w->geometry(), expected);
            }
        }
        // Group boxes and labels are placed too, behind the controls: a click
        // inside a group reaches the control under it.
        auto* network = dialog.childAt(QPoint(px(8), py(100)));
        QCOMPARE(network, nullptr); // the group frame lets the click through to the dialog
        QLabel* file = nullptr;
        for (QLabel* label : dialog.findChildren<QLabel*>()) {
            if (label->text() == "File :")
                file = label;
        }
        QVERIFY(file);
        QCOMPARE(file->geometry(), QRect(px(16), py(200), px(16), py(8)));
        QCOMPARE(dialog.childAt(dialog.control(IDC_REFRESH)->geometry().center()),
                 dialog.control(IDC_REFRESH));
        QCOMPARE(dialog.childAt(dialog.control(IDC_DEVICE_LIST)->geometry().center())->parentWidget(),
                 dialog.control(IDC_DEVICE_LIST));

        // No push button is the default.
        for (QPushButton* button : dialog.findChildren<QPushButton*>()) {
            QVERIFY(!button->isDefault());
            QVERIFY(!button->autoDefault());
        }
    }

    void focusStartsOnRefreshAndTabFollowsTemplate() {
        TestApp t("zu-gui-tab");
        UpdateDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QCOMPARE(focusName(), QString("ctl1010"));

        const QStringList order = {"ctl1006", "ctl1007", "ctl1019", "ctl1005", "ctl2",   "ctl1018",
                                   "ctl1009", "ctl1015", "ctl1016", "ctl1017", "ctl1010"};
        for (const QString& expected : order) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(focusName(), expected);
        }
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        QCOMPARE(focusName(), QString("ctl1017"));
    }

    void keysEndTheDialog_data() {
        QTest::addColumn<int>("focusId");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("expected"); // -1: still open
        QTest::newRow("Enter in file box") << IDC_FILE_BOX << int(Qt::Key_Return) << int(QDialog::Accepted);
        QTest::newRow("keypad Enter in file box")
            << IDC_FILE_BOX << int(Qt::Key_Enter) << int(QDialog::Accepted);
        QTest::newRow("Enter in device list")
            << IDC_DEVICE_LIST << int(Qt::Key_Return) << int(QDialog::Accepted);
        QTest::newRow("Enter on Use Com1") << IDC_USE_COM1 << int(Qt::Key_Return) << int(QDialog::Accepted);
        QTest::newRow("Enter on Use Com2") << IDC_USE_COM2 << int(Qt::Key_Return) << int(QDialog::Accepted);
        QTest::newRow("Enter in info line") << IDC_INFO_LINE << int(Qt::Key_Return) << int(QDialog::Accepted);
        QTest::newRow("Enter on Exit") << kIdCancel << int(Qt::Key_Return) << int(QDialog::Rejected);
        QTest::newRow("Enter on Refresh") << IDC_REFRESH << int(Qt::Key_Return) << -1;
        QTest::newRow("Enter on Info") << IDC_INFO << int(Qt::Key_Return) << -1;
        QTest::newRow("Escape in file box") << IDC_FILE_BOX << int(Qt::Key_Escape) << int(QDialog::Rejected);
        QTest::newRow("Escape in list") << IDC_DEVICE_LIST << int(Qt::Key_Escape) << int(QDialog::Rejected);
        QTest::newRow("Escape on Refresh") << IDC_REFRESH << int(Qt::Key_Escape) << int(QDialog::Rejected);
    }
    void keysEndTheDialog() {
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
        const size_t before = fakedll::calls().size();

        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
        if (expected < 0) {
            QVERIFY(dialog.isVisible());
            QVERIFY(finished.isEmpty());
            const QString function = focusId == IDC_REFRESH ? "DllScanNetwork" : "DllGetFileInfo";
            QCOMPARE(fakedll::calls(function.toStdString()).size(), size_t(2)); // at start and now
            QVERIFY(fakedll::calls().size() > before);
        } else {
            QVERIFY(!dialog.isVisible());
            QCOMPARE(finished.size(), 1);
            QCOMPARE(finished.first().first().toInt(), expected);
        }
    }

    void closeBoxEndsTheDialog() {
        TestApp t("zu-gui-close");
        UpdateDialog dialog;
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        QVERIFY(dialog.close());
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().first().toInt(), int(QDialog::Rejected));
    }

    // While closing is refused, no way out ends the dialog; afterwards they all do.
    void refusedClosingHoldsEveryExit() {
        TestApp t("zu-gui-refuse");
        UpdateDialog dialog;
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        dialog.setClosingRefused(true);

        QTest::keyClick(&dialog, Qt::Key_Escape);
        dialog.deviceList()->setFocus();
        QTest::keyClick(dialog.deviceList(), Qt::Key_Return);
        QTest::mouseClick(dialog.control(kIdCancel), Qt::LeftButton);
        QVERIFY(!dialog.close());
        dialog.accept();
        QVERIFY(dialog.isVisible());
        QVERIFY(finished.isEmpty());

        dialog.setClosingRefused(false);
        QTest::mouseClick(dialog.control(kIdCancel), Qt::LeftButton);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(finished.size(), 1);
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
        QCOMPARE(dialog.deviceList()->item(0)->text(),
                 QString("     40  |  192.168.1.20  |  V.  2.03  |  Desk  |  Cluster A (02) "));
        QCOMPARE(dialog.deviceList()->item(1)->text(),
                 QString("     42  |  10.0.0.7  |  V.  1.10  |  Fader  |  Pellard 64 "));
        QVERIFY(dialog.deviceList()->selectedItems().isEmpty());
        // The second row shows slot 2, the device that answered.
        QCOMPARE(dialog.slotTable().slotOfRow(1), 2);
        QCOMPARE(dialog.slotTable().ids[2], 42);

        fakedll::setScan({});
        QTest::mouseClick(dialog.control(IDC_REFRESH), Qt::LeftButton);
        QCOMPARE(dialog.deviceList()->count(), 0);
    }

    void fileBoxOffersFilteredRecord() {
        TestApp t("zu-gui-filebox");
        t.storeRecentFiles({{"File1", "/fw/net.bin"},
                            {"File2", "/FW/NET.BIN"},
                            {"File3", "/bins/readme.txt"},
                            {"File4", "bin/net.bin"},
                            {"File5", "bin/net.mem"},
                            {"File7", "/x/a.ach"},
                            {"File11", "/fw/eleven.bin"},
                            {"Other", "/fw/other.bin"}});
        t.app().startUp();
        UpdateDialog dialog;
        dialog.show();

        QStringList items;
        for (int i = 0; i < dialog.fileBox()->count(); ++i)
            items.append(dialog.fileBox()->itemText(i));
        QCOMPARE(items, QStringList({"/fw/net.bin", "/bins/readme.txt", "bin/net.mem", "/x/a.ach"}));
        QCOMPARE(dialog.fileBoxText(), QString("/fw/net.bin"));
        // Unknown to the library: described as invalid, and asked about exactly that path.
        QCOMPARE(dialog.infoLine()->text(), QString("Invalid program file"));
        QCOMPARE(fakedll::calls("DllGetFileInfo").size(), size_t(1));
        QCOMPARE(fakedll::calls("DllGetFileInfo").front().path, std::string("/fw/net.bin"));
    }

    void emptyRecordLeavesBoxAndInfoLineEmpty() {
        TestApp t("zu-gui-empty");
        t.app().startUp();
        UpdateDialog dialog;
        dialog.show();
        QCOMPARE(dialog.fileBox()->count(), 0);
        QCOMPARE(dialog.fileBoxText(), QString());
        QCOMPARE(dialog.infoLine()->text(), QString());
        QVERIFY(fakedll::calls("DllGetFileInfo").empty());
    }

    void browseAppendsToBoxAndRecord() {
        TestApp t("zu-gui-browse");
        t.storeRecentFiles({{"File1", "/fw/old.bin"}});
        t.app().startUp();
        const QString chosen = QDir(t.dir()).filePath("image.mem");
        QFile(chosen).open(QIODevice::WriteOnly);
        fakedll::setFileInfo(QFile::encodeName(chosen).toStdString(),
                             {"GRAPH", 9, 8, 2024 + 256, 4, 1, 0, 1});

        UpdateDialog dialog;
        QString answer = chosen;
        int asked = 0;
        QWidget* chooserParent = nullptr;
        dialog.setFileChooser([&](QWidget* parent) {
            ++asked;
            chooserParent = parent;
            return answer;
        });
        dialog.show();

        QTest::mouseClick(dialog.control(IDC_BROWSE), Qt::LeftButton);
        QCOMPARE(asked, 1);
        QCOMPARE(chooserParent, &dialog);
        QCOMPARE(dialog.fileBox()->count(), 2);
        QCOMPARE(dialog.fileBox()->itemText(1), chosen);
        QCOMPARE(dialog.fileBoxText(), chosen);
        QCOMPARE(dialog.infoLine()->text(), QString("[GraphAppl]  GRAPH  Ver. 1.00  Date: 9/8/232"));
        QCOMPARE(t.app().recentFiles().entry(0), chosen);
        QCOMPARE(t.app().recentFiles().entry(1), QString("/fw/old.bin"));

        // The same file again: twice in the box, once in the record.
        QTest::mouseClick(dialog.control(IDC_BROWSE), Qt::LeftButton);
        QCOMPARE(dialog.fileBox()->count(), 3);
        QCOMPARE(dialog.fileBox()->itemText(2), chosen);
        QCOMPARE(dialog.fileBox()->currentIndex(), 2);
        QCOMPARE(t.app().recentFiles().entry(0), chosen);
        QCOMPARE(t.app().recentFiles().entry(1), QString("/fw/old.bin"));
        QCOMPARE(t.app().recentFiles().entry(2), QString());

        // Cancelled: nothing changes, nothing is asked.
        answer.clear();
        const size_t queries = fakedll::calls("DllGetFileInfo").size();
        QTest::mouseClick(dialog.control(IDC_BROWSE), Qt::LeftButton);
        QCOMPARE(dialog.fileBox()->count(), 3);
        QCOMPARE(fakedll::calls("DllGetFileInfo").size(), queries);
    }

    // Picking another entry or typing leaves the info line alone; "Info:" uses the typed text.
    void onlyInfoDescribesTypedPath() {
        TestApp t("zu-gui-typing");
        t.storeRecentFiles({{"File1", "/fw/a.bin"}, {"File2", "/fw/b.bin"}});
        t.app().startUp();
        fakedll::setFileInfo("/fw/a.bin", {"A", 1, 1, 1, 1, 1, 0, 1});
        fakedll::setFileInfo("/fw/b.bin", {"B", 2, 2, 2, 5, 1, 0, 1});
        fakedll::setFileInfo("/fw/b.bin2", {"B2", 3, 3, 3, 255, 1, 0, 1});
        UpdateDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        const QString first = dialog.infoLine()->text();
        QCOMPARE(first, QString("[NetBoot]  A  Ver. 1.00  Date: 1/1/1"));

        dialog.fileBox()->setFocus();
        QTest::keyClick(dialog.fileBox(), Qt::Key_Down); // next entry, closed box
        QCOMPARE(dialog.fileBoxText(), QString("/fw/b.bin"));
        QTest::keyClick(dialog.fileBox(), Qt::Key_End);
        QTest::keyClicks(dialog.fileBox(), "2");
        QCOMPARE(dialog.fileBoxText(), QString("/fw/b.bin2"));
        QCOMPARE(dialog.infoLine()->text(), first);
        QCOMPARE(fakedll::calls("DllGetFileInfo").size(), size_t(1));
        QCOMPARE(dialog.fileBox()->count(), 2);

        QTest::mouseClick(dialog.control(IDC_INFO), Qt::LeftButton);
        QCOMPARE(dialog.infoLine()->text(), QString("[Archive]  B2  Ver. 1.00  Date: 3/3/3"));
        QCOMPARE(dialog.fileBox()->count(), 2); // typing never adds an entry
    }

    // Without automatic scrolling, typing stops at the box's width; deleting still works.
    void typingStopsAtBoxWidth() {
        TestApp t("zu-gui-width");
        UpdateDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        dialog.fileBox()->setFocus();
        QTest::keyClicks(dialog.fileBox(), QString(300, QLatin1Char('W')));
        const QString typed = dialog.fileBoxText();
        QVERIFY(typed.size() > 5);
        QVERIFY(typed.size() < 300);
        QLineEdit* edit = dialog.fileBox()->lineEdit();
        QVERIFY(edit->fontMetrics().horizontalAdvance(typed) <= edit->width());
        QTest::keyClick(dialog.fileBox(), Qt::Key_Backspace);
        QCOMPARE(dialog.fileBoxText().size(), typed.size() - 1);
    }
};

QTEST_MAIN(UpdateDialogTest)
#include "tst_UpdateDialog.moc"
