#include "tests/support/VirtualDisplay.h"

#include "support/Fd.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

namespace support {

VirtualDisplay::VirtualDisplay() {
    const std::string xvfb = findProgram("Xvfb");
    if (xvfb.empty()) {
        m_error = "Xvfb not found";
        return;
    }
    int fds[2];
    if (::pipe(fds) != 0) {
        m_error = "pipe failed";
        return;
    }
    Fd reader(fds[0]);
    Fd writer(fds[1]);
    ::fcntl(reader.get(), F_SETFD, FD_CLOEXEC);
    // The write end stays open in Xvfb, which reports its display number there.
    // -noreset: a server resetting as its last client leaves refuses the next one for a moment.
    m_server = std::make_unique<ChildProcess>(
        std::vector<std::string>{xvfb, "-displayfd", std::to_string(writer.get()), "-nolisten", "tcp",
                                 "-screen", "0", "1280x1024x24", "-noreset"});
    writer.reset();
    if (!m_server->started()) {
        m_error = "cannot start Xvfb";
        return;
    }
    std::string number;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < until && number.find('\n') == std::string::npos) {
        pollfd p{reader.get(), POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char buf[32];
        const ssize_t n = ::read(reader.get(), buf, sizeof buf);
        if (n <= 0)
            break;
        number.append(buf, static_cast<std::size_t>(n));
    }
    const auto end = number.find('\n');
    if (end == std::string::npos || end == 0) {
        m_error = "Xvfb did not report a display";
        return;
    }
    m_display = ":" + number.substr(0, end);
}

VirtualDisplay::~VirtualDisplay() {
    if (m_server)
        m_server->stop();
}

bool VirtualDisplay::available(std::string* missing) {
    std::string absent;
    for (const char* program : {"Xvfb", "xdotool"}) {
        if (findProgram(program).empty())
            absent += absent.empty() ? program : std::string(", ") + program;
    }
    if (missing)
        *missing = absent;
    return absent.empty();
}

int VirtualDisplay::xdotool(const std::vector<std::string>& args, std::string* out) const {
    std::vector<std::string> argv = {"xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, {{"DISPLAY", m_display}}, out);
}

std::vector<std::string> VirtualDisplay::visibleWindows(const std::string& title) const {
    std::string out;
    // --name takes a regular expression; the title holds no special characters.
    if (xdotool({"search", "--onlyvisible", "--name", "^" + title + "$"}, &out) != 0)
        return {};
    std::vector<std::string> ids;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty())
            ids.push_back(line);
    }
    return ids;
}

} // namespace support
