// Resource and control numbers shared by the templates and the code.
#pragma once

constexpr int IDD_ABOUTBOX = 100;
constexpr int IDS_ABOUTBOX = 101;
constexpr int IDD_UPDATE_DIALOG = 102;
constexpr int IDR_MAINFRAME = 128;

// Standard OK and cancel commands (named apart from the platform's macros).
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;

// Main dialog controls.
constexpr int IDC_FILE_BOX = 1005;
constexpr int IDC_UPDATE = 1006;
constexpr int IDC_BROWSE = 1007;
constexpr int IDC_PROGRESS = 1008;
constexpr int IDC_DEVICE_LIST = 1009;
constexpr int IDC_REFRESH = 1010;
constexpr int IDC_USE_COM1 = 1015;
constexpr int IDC_USE_COM2 = 1016;
constexpr int IDC_INFO_LINE = 1017;
constexpr int IDC_INFO = 1018;
constexpr int IDC_UPDATE_ALL = 1019;

// Window-menu command of the About item; its low four bits are clear, as the
// system reserves them.
constexpr int IDM_ABOUTBOX = 0x0010;

// Help topics are 131072 plus the dialog's template number.
constexpr int kHelpTopicBase = 0x20000;
