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
    if (const auto part = wire::decodeScanReply(*d)) {
        // Discovery stores ids by index: they must all lie inside the total.
        if (part->ids.size() > wire::kMaxIdsPerScanReply || part->first + part->ids.size() > part->total)
            std::abort();
        const auto again = wire::encodeScanReply(d->seq, *part);
        if (wire::decodeScanReply(*wire::parseDatagram(again.data(), again.size())) != part)
            std::abort();
    }
    if (const auto id = wire::decodeInfoRequest(*d)) {
        const auto again = wire::encodeInfoRequest(d->seq, *id);
        if (wire::decodeInfoRequest(*wire::parseDatagram(again.data(), again.size())) != id)
            std::abort();
    }
    if (const auto info = wire::decodeInfoReply(*d)) {
        // The library copies the name into a 64-byte field with its terminator.
        if (info->name.size() > wire::kMaxInfoName || info->name.find('\0') != std::string::npos)
            std::abort();
        const auto again = wire::encodeInfoReply(d->seq, *info);
        if (wire::decodeInfoReply(*wire::parseDatagram(again.data(), again.size())) != info)
            std::abort();
    }
    return 0;
}
