#include "ui/DialogTemplates.h"

#include "ui/ResourceIds.h"

namespace {

using namespace CtlStyle;

constexpr std::uint32_t kButton = TabStop;
constexpr std::uint32_t kCheckBox = AutoCheck | TabStop;

// Template order is creation order and tab order.
constexpr ControlTemplate kUpdateControls[] = {
    {IDC_REFRESH, ControlKind::PushButton, "Refresh", 284, 50, 41, 14, kButton},
    {IDC_UPDATE, ControlKind::PushButton, "Update", 284, 217, 40, 14, kButton},
    {IDC_BROWSE, ControlKind::PushButton, "Browse", 284, 197, 40, 14, kButton},
    {IDC_UPDATE_ALL, ControlKind::PushButton, "Upd. All", 284, 178, 40, 14, kButton},
    {IDC_FILE_BOX, ControlKind::ComboBox, "", 50, 198, 224, 63, DropDown | VScroll | TabStop},
    {kIdCancel, ControlKind::PushButton, "Exit", 150, 247, 50, 14, kButton},
    {IDC_INFO, ControlKind::PushButton, "Info:", 16, 178, 24, 14, kButton | TextLeft},
    {IDC_DEVICE_LIST, ControlKind::ListBox, "", 16, 43, 247, 107,
     ExtendedSel | Notify | Border | VScroll | NoIntegralHeight | TabStop},
    {IDC_USE_COM1, ControlKind::CheckBox, "Use Com1", 284, 73, 46, 10, kCheckBox},
    {IDC_USE_COM2, ControlKind::CheckBox, "Use Com2", 283, 89, 49, 10, kCheckBox},
    {IDC_PROGRESS, ControlKind::ProgressBar, "", 50, 220, 224, 9, Border},
    {kStaticId, ControlKind::GroupBox, "Software update", 7, 164, 329, 76, 0},
    {kStaticId, ControlKind::Label, "File :", 16, 200, 16, 8, 0},
    {kStaticId, ControlKind::Label, "Progress :", 16, 220, 32, 8, 0},
    {kStaticId, ControlKind::GroupBox, "Network Devices", 7, 16, 329, 143, 0},
    {kStaticId, ControlKind::Label, "Select Device", 16, 32, 46, 8, 0},
    {IDC_INFO_LINE, ControlKind::Edit, "", 50, 178, 224, 14,
     ReadOnly | AutoHScroll | Border | StaticEdge | DialogFrame | TabStop},
};

constexpr ControlTemplate kAboutControls[] = {
    {kStaticId, ControlKind::Icon, "128", 11, 17, 20, 20, 0},
    {kStaticId, ControlKind::Label, "ZentavoDiag Version 2.3", 40, 10, 119, 8, 0},
    {kStaticId, ControlKind::Label, "Copyright (C) Quorvane", 40, 25, 119, 8, 0},
    {kIdOk, ControlKind::PushButton, "OK", 178, 7, 50, 14, DefaultButton | TabStop},
};

constexpr DialogTemplate kUpdateDialog = {
    IDD_UPDATE_DIALOG,
    "Zentavo software update",
    343,
    268,
    "MS Sans Serif",
    8,
    DlgStyle::Popup | DlgStyle::Visible | DlgStyle::Caption | DlgStyle::SysMenu | DlgStyle::ModalFrame |
        DlgStyle::AppWindow,
    kUpdateControls,
};

constexpr DialogTemplate kAboutDialog = {
    IDD_ABOUTBOX,
    "About ZentavoDiag",
    235,
    55,
    "MS Sans Serif",
    8,
    DlgStyle::Popup | DlgStyle::Caption | DlgStyle::SysMenu | DlgStyle::ModalFrame,
    kAboutControls,
};

} // namespace

const DialogTemplate& updateDialogTemplate() {
    return kUpdateDialog;
}
const DialogTemplate& aboutDialogTemplate() {
    return kAboutDialog;
}
