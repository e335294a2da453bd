#include "devlib/SerialPort.h"

#include "devlib/LibConfig.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace testdll {

namespace {

std::mutex g_portsMutex;
int g_fds[2] = {-1, -1};
int g_current = -1;

int openRaw(const char* path) {
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        ::close(fd); // not a terminal
        return -1;
    }
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

bool openSerialPort(std::int32_t port) {
    if (port != 1 && port != 2)
        return false;
    const std::string& path = config().comPath[port - 1];
    std::lock_guard lock(g_portsMutex);
    int& fd = g_fds[port - 1];
    if (fd < 0)
        fd = openRaw(path.c_str());
    if (fd < 0)
        return false;
    g_current = fd;
    return true;
}

int currentSerialFd() {
    std::lock_guard lock(g_portsMutex);
    return g_current;
}

std::mutex& serialLineMutex() {
    static std::mutex m;
    return m;
}

} // namespace testdll
