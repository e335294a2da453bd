// The application icon (resource 128): a 32x32 and a 16x16 image.
#pragma once

#include <QIcon>

QIcon applicationIcon();
