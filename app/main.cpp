// zentavo-update: the firmware update console. The command line is not read;
// QApplication only needs it to start.
#include "app/UpdaterApp.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    UpdaterApp::preparePlatform();
    QApplication application(argc, argv);
    UpdaterApp app;
    return app.run();
}
