// libFuzzer target for the station-file reader: any text is either refused with a
// message naming where, or gives a station the simulator can serve (ids unique and
// non-zero, names within the info reply's 63 bytes, no more devices than a scan counts).
#include "stationsim/StationConfig.h"

#include <cstdlib>
#include <set>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sim::StationConfig station;
    std::string error;
    if (!sim::parseStation(std::string(reinterpret_cast<const char*>(data), size), station, error)) {
        if (error.empty())
            std::abort();
        return 0;
    }
    std::set<std::int32_t> ids;
    for (const auto& d : station.devices) {
        if (d.id == 0 || !ids.insert(d.id).second || d.name.size() > sim::kMaxNameBytes)
            std::abort();
    }
    if (station.devices.size() > sim::kMaxDevices)
        std::abort();
    return 0;
}
