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

class UploadSetup {
public:
    explicit UploadSetup(const QString& name) : m_app(name) {
        m_app.storeRecentFiles({{"File1", kImagePath}});
        m_app.app().startUp();
        scriptImage();
    }
    // Shows the dialog (the scan and the file check run now) as the owner of message boxes.
    void open(UpdateDialog& dialog) {
        m_app.app().setMainWindow(&dialog);
        showUnpainted(dialog);
    }

private:
    TestApp m_app;
};

} // namespace uploadtest
