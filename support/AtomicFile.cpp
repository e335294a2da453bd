#include "support/AtomicFile.h"

#include "support/Fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace support {

namespace {

bool writeAll(int fd, const char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

int replaceFile(const std::string& path, const void* data, std::size_t size, mode_t mode, bool* created) {
    // A name of our own, taken with O_EXCL: open() applies the umask to `mode` itself,
    // so the process-wide umask is never changed under other threads.
    static std::atomic<unsigned> counter{0};
    std::string temp;
    Fd fd;
    for (int attempt = 0; attempt < 100 && !fd.valid(); ++attempt) {
        temp = path + ".tmp" + std::to_string(::getpid()) + "." + std::to_string(counter++);
        fd.reset(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        if (!fd.valid() && errno != EEXIST)
            break;
    }
    if (created != nullptr)
        *created = fd.valid();
    if (!fd.valid())
        return errno;
    int error = 0;
    if (!writeAll(fd.get(), static_cast<const char*>(data), size) || ::fsync(fd.get()) != 0)
        error = errno != 0 ? errno : EIO;
    if (::close(fd.release()) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0)
        ::unlink(temp.c_str());
    return error;
}

} // namespace support
