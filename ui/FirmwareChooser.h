// Browse's file chooser: the four firmware filters with the first one chosen,
// default suffix "bin", an existing file required.
#pragma once

#include <QString>

class QFileDialog;
class QWidget;

// Sets a chooser up. On POSIX "All Files (*.*)" keeps its text but lists
// every file, also those without a dot, as it does on Windows.
void prepareFirmwareChooser(QFileDialog& dialog);

// Runs one: the chosen full path, or an empty text when cancelled.
QString chooseFirmwareFile(QWidget* parent);
