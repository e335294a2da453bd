// Replacing a file so that readers see the old contents or the complete new ones, never a part.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace support {

// Writes `data` to a new file next to `path` (created with `mode`, less the umask), flushes
// it to disk, renames it over `path` and flushes the folder, so that once this returns 0 the
// new contents survive a power cut. Returns 0, or the errno of the step that failed; then
// nothing is left behind, and `created` (if given) tells whether the new file could be made.
// The new file has one fixed name, temporaryPathFor(path), so a writer killed midway leaves
// at most that one file, which the next write replaces: one writer per path at a time.
int replaceFile(const std::string& path, const void* data, std::size_t size, mode_t mode,
                bool* created = nullptr);

std::string temporaryPathFor(const std::string& path);

} // namespace support
