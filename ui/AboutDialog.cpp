#include "ui/AboutDialog.h"

#include "ui/AppIcon.h"
#include "ui/DialogTemplates.h"

AboutDialog::AboutDialog(QWidget* parent) : TemplateDialog(aboutDialogTemplate(), parent) {
    setWindowIcon(applicationIcon());
}
