// The modules an image type code names: the one table of labels, read by the
// updater's info line, the library's reasons and the devices alike. Header only,
// so that the updater built against the device maker's own library has it too.
#pragma once

#include <cstdint>

namespace wire {

// The label for a type code's low byte ("NetAppl" for 2), or nullptr for a code the
// updater refuses.
constexpr const char* imageTypeLabel(std::uint32_t typeCode) {
    switch (typeCode & 0xFFu) {
    case 1:
        return "NetBoot";
    case 2:
        return "NetAppl";
    case 3:
        return "GraphBoot";
    case 4:
        return "GraphAppl";
    case 6:
        return "DSPAppl";
    case 7:
        return "MotoAppl";
    case 100:
        return "P21Boot";
    case 101:
        return "P21Appl";
    case 255:
        return "Archive";
    default:
        return nullptr;
    }
}

} // namespace wire
