// The About box (template 100): icon, version line, maker's notice and "OK".
#pragma once

#include "ui/DialogTemplateDialog.h"

class AboutDialog : public TemplateDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);
};
