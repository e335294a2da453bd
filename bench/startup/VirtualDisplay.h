// An X display for the start-up benchmark of the real program: Xvfb on
// a display number it picks itself (-displayfd), local connections only, driven with xdotool.
#pragma once

#include "tests/support/ChildProcess.h"

#include <memory>
#include <string>
#include <vector>

namespace support {

class VirtualDisplay {
public:
    VirtualDisplay();
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    static bool available(std::string* missing); // Xvfb and xdotool on $PATH, else one missing
    bool running() const { return !m_display.empty(); }
    const std::string& display() const { return m_display; } // ":N"
    const std::string& error() const { return m_error; }

    // xdotool with DISPLAY set; returns its exit code, output in `out`.
    int xdotool(const std::vector<std::string>& args, std::string* out = nullptr) const;
    // Visible top-level windows titled exactly `title` (xdotool ids), empty if none.
    std::vector<std::string> visibleWindows(const std::string& title) const;

private:
    std::unique_ptr<ChildProcess> m_server;
    std::string m_display;
    std::string m_error;
};

} // namespace support
