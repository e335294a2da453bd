#include "support/AtomicFile.h"

#include "support/Fd.h"

#include <fcntl.h>
#include <unistd.h>

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

// The folder's entry for a renamed file reaches the disk only with the folder itself.
int syncFolderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid())
        return errno;
    // Some file systems cannot sync a folder (EINVAL); there the rename is as durable as it gets.
    return ::fsync(fd.get()) != 0 && errno != EINVAL ? errno : 0;
}

} // namespace

std::string temporaryPathFor(const std::string& path) {
    return path + ".tmp";
}

int replaceFile(const std::string& path, const void* data, std::size_t size, mode_t mode, bool* created) {
    // A stale file (or link) of that name goes first, so O_EXCL makes the file anew with
    // `mode`: open() applies the umask itself, never changing it under other threads.
    const std::string temp = temporaryPathFor(path);
    ::unlink(temp.c_str());
    Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
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
    return error != 0 ? error : syncFolderOf(path);
}

} // namespace support
