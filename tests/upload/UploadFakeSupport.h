// Upload tests against the scripted fake: its gate, what it was sent, and a
// started application whose file box offers a firmware file the fake knows.
#pragma once

#include "GuiTestSupport.h"
#include "UploadTestSupport.h"

namespace uploadtest {

// The fake has reached its gate; the GUI thread keeps serving meanwhile.
inline bool waitGate() {
    QDeadlineTimer deadline(10000);
    while (!fakedll::waitUploadGated(0) && !deadline.hasExpired())
        QTest::qWait(5);
    return fakedll::waitUploadGated(0);
}

inline std::vector<int32_t> uploadedIds() {
    const auto calls = fakedll::calls("DllUploadFileToDevices");
    return calls.empty() ? std::vector<int32_t>{} : calls.back().ids;
}

inline const char kImagePath[] = "/fw/cluster-2.4.bin";
inline const QString kDescription = QStringLiteral("[NetAppl]  CLUSTER  Ver. 2.04  Date: 6/12/26");

inline void scriptImage(int32_t fileType = 2, int32_t result = 1) {
    fakedll::setFileInfo(kImagePath, {"CLUSTER", 6, 12, 26, fileType, 2, 4, result});
}

// Started with the image in the record; open() shows the dialog (scan and
// file check run now) as the owner of message boxes.
struct UploadSetup {
    explicit UploadSetup(const QString& name) : app(name) {
        app.storeRecentFiles({{"File1", kImagePath}});
        app.app().startUp();
        scriptImage();
    }
    void open(UpdateDialog& dialog) {
        app.app().setMainWindow(&dialog);
        showUnpainted(dialog);
    }
    TestApp app;
};

} // namespace uploadtest
