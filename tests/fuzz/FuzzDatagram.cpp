// libFuzzer target for the datagram parsers: the header, then the scan request and
// reply and the info request and reply. Whatever a decoder accepts holds to the
// promises the library relies on, and encodes back to a datagram decoding the same.
#include "wire/Datagram.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto d = wire::parseDatagram(data, size);
    if (!d)
        return 0;
    if (d->body.size() + wire::kDatagramHeaderSize != size)
        std::abort();
    (void)wire::isScanRequest(*d);
    const auto same = [](const std::vector<std::uint8_t>& again, auto decode, const auto& decoded) {
        if (decode(*wire::parseDatagram(again.data(), again.size())) != decoded)
            std::abort(); // encoded again, it does not decode the same
    };
    if (const auto part = wire::decodeScanReply(*d)) {
        // Discovery stores ids by index: they must all lie inside the total.
        if (part->ids.size() > wire::kMaxIdsPerScanReply || part->first + part->ids.size() > part->total)
            std::abort();
        same(wire::encodeScanReply(d->seq, *part), wire::decodeScanReply, part);
    }
    if (const auto id = wire::decodeInfoRequest(*d))
        same(wire::encodeInfoRequest(d->seq, *id), wire::decodeInfoRequest, id);
    if (const auto info = wire::decodeInfoReply(*d)) {
        // The library copies the name into a 64-byte field with its terminator.
        if (info->name.size() > wire::kMaxInfoName || info->name.find('\0') != std::string::npos)
            std::abort();
        same(wire::encodeInfoReply(d->seq, *info), wire::decodeInfoReply, info);
    }
    return 0;
}
