#include "AboutDialog.h"

#include "AppIcon.h"
#include "DialogTemplates.h"

AboutDialog::AboutDialog(QWidget* parent) : TemplateDialog(aboutDialogTemplate(), parent) {
    setWindowIcon(applicationIcon());
}
