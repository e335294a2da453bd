#include "bench/startup/VirtualDisplay.h"

#include "support/Fd.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <iterator>
#include <sstream>

namespace support {

VirtualDisplay::VirtualDisplay() {
    const std::string xvfb = findProgram("Xvfb");
    int fds[2];
    if (xvfb.empty() || ::pipe(fds) != 0) {
        m_error = xvfb.empty() ? "Xvfb not found" : "pipe failed";
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
    writer.reset();     // so that the pipe ends (no display) if Xvfb did not start
    std::string number; // "N\n", written at once; each read waits 15 s at most
    pollfd p{reader.get(), POLLIN, 0};
    char buf[32];
    for (ssize_t n = 0; number.find('\n') == std::string::npos && ::poll(&p, 1, 15000) > 0 &&
                        (n = ::read(reader.get(), buf, sizeof buf)) > 0;)
        number.append(buf, static_cast<std::size_t>(n));
    const auto end = number.find('\n');
    if (end == std::string::npos || end == 0)
        m_error = "Xvfb did not report a display";
    else
        m_display = ":" + number.substr(0, end);
}

VirtualDisplay::~VirtualDisplay() {
    if (m_server)
        m_server->stop();
}

bool VirtualDisplay::available(std::string* missing) {
    *missing = findProgram("Xvfb").empty() ? "Xvfb" : findProgram("xdotool").empty() ? "xdotool" : "";
    return missing->empty();
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
    std::istringstream lines(out);
    return {std::istream_iterator<std::string>(lines), {}};
}

} // namespace support
