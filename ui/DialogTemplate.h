// A dialog described as data, the way a resource compiler would hold it:
// title, size and font, then the controls in creation order, which is also
// the tab order. Positions and sizes are in dialog units.
#pragma once

#include <cstdint>
#include <span>

enum class ControlKind : std::uint8_t {
    PushButton,
    CheckBox,
    ComboBox,
    ListBox,
    Edit,
    ProgressBar,
    GroupBox,
    Label,
    Icon, // static icon; text names the icon resource
};

// Control style flags (a subset of what the Windows styles express).
namespace CtlStyle {
constexpr std::uint32_t TabStop = 1u << 0;
constexpr std::uint32_t DefaultButton = 1u << 1;
constexpr std::uint32_t TextLeft = 1u << 2;
constexpr std::uint32_t AutoCheck = 1u << 3;
constexpr std::uint32_t DropDown = 1u << 4; // editable drop-down combo box
constexpr std::uint32_t VScroll = 1u << 5;
constexpr std::uint32_t AutoHScroll = 1u << 6;
constexpr std::uint32_t Sorted = 1u << 7;
constexpr std::uint32_t ExtendedSel = 1u << 8;
constexpr std::uint32_t Notify = 1u << 9;
constexpr std::uint32_t Border = 1u << 10;
constexpr std::uint32_t NoIntegralHeight = 1u << 11;
constexpr std::uint32_t ReadOnly = 1u << 12;
constexpr std::uint32_t StaticEdge = 1u << 13;
constexpr std::uint32_t DialogFrame = 1u << 14;
} // namespace CtlStyle

// Dialog style flags.
namespace DlgStyle {
constexpr std::uint32_t Popup = 1u << 0;
constexpr std::uint32_t Visible = 1u << 1;
constexpr std::uint32_t Caption = 1u << 2;
constexpr std::uint32_t SysMenu = 1u << 3;
constexpr std::uint32_t ModalFrame = 1u << 4;
constexpr std::uint32_t AppWindow = 1u << 5; // shown in the task bar
constexpr std::uint32_t MinimizeBox = 1u << 6;
constexpr std::uint32_t MaximizeBox = 1u << 7;
} // namespace DlgStyle

constexpr int kStaticId = -1; // controls nobody addresses

struct ControlTemplate {
    int id;
    ControlKind kind;
    const char* text;
    int x, y, cx, cy;
    std::uint32_t style;
};

struct DialogTemplate {
    int resourceId;
    const char* title;
    int cx, cy;
    const char* fontName;
    int pointSize;
    std::uint32_t style;
    std::span<const ControlTemplate> controls;
};
