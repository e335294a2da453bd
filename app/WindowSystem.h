// Whether the window can be opened, asked before the QApplication exists, and
// a platform that fails to start anyway ending the program with one line and
// status 1 instead of Qt's abort.
#pragma once

#include <QString>

// On X11 and Wayland desktops: DISPLAY or WAYLAND_DISPLAY is set, or
// QT_QPA_PLATFORM names a platform that needs neither (offscreen, vnc, ...).
bool windowSystemAvailable();

// Around the QApplication's construction only.
void guardPlatformStart(const QString& program);
void endPlatformStartGuard();
