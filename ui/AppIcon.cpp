#include "ui/AppIcon.h"

// Outside any namespace, as Q_INIT_RESOURCE requires: the resources live in a
// static library, so nothing would pull them in otherwise.
static void initUpdaterResources() {
    Q_INIT_RESOURCE(updater);
}

QIcon applicationIcon() {
    static const bool initialised = (initUpdaterResources(), true);
    (void)initialised;
    QIcon icon;
    icon.addFile(QStringLiteral(":/res/icon128-32.png"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/res/icon128-16.png"), QSize(16, 16));
    return icon;
}
