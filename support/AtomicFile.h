// Replacing a file so that readers see the old contents or the complete new ones, never a part.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace support {

// Writes `data` to a new file next to `path` (created with `mode`, less the umask), flushes
// it to disk and renames it over `path`. Returns 0, or the errno of the step that failed;
// then nothing is left behind, and `created` (if given) tells whether the new file could be made.
int replaceFile(const std::string& path, const void* data, std::size_t size, mode_t mode,
                bool* created = nullptr);

} // namespace support
