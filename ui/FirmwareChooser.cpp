#include "ui/FirmwareChooser.h"

#include "core/FirmwareFile.h"

#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>

void prepareFirmwareChooser(QFileDialog& dialog) {
#ifndef Q_OS_WIN
    // Only Qt's own chooser lets the pattern differ from the text; it sets
    // the "*.*" of the text first.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& filter) {
        if (!filter.endsWith(QLatin1String("(*.*)")))
            return;
        QMetaObject::invokeMethod(
            &dialog,
            [&dialog] {
                if (auto* model = dialog.findChild<QFileSystemModel*>())
                    model->setNameFilters({QStringLiteral("*")});
            },
            Qt::QueuedConnection);
    });
#endif
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    const QStringList filters = firmwareNameFilters();
    dialog.setNameFilters(filters);
    if (!filters.isEmpty())
        dialog.selectNameFilter(filters.first());
    dialog.setDefaultSuffix(QStringLiteral("bin"));
}

QString chooseFirmwareFile(QWidget* parent) {
    QFileDialog dialog(parent);
    prepareFirmwareChooser(dialog);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    const QStringList files = dialog.selectedFiles();
    return files.isEmpty() ? QString() : QDir::toNativeSeparators(files.first());
}
