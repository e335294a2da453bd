// libFuzzer target for the frame reader and the upload frames' decoders: a stream cut
// into pieces where the input says, every frame read decoded as each message type.
// A frame read must be one the writer could have made: written again and read back, it
// is the same frame, and nothing about it is discarded.
#include "wire/UploadFrames.h"

#include <cstdlib>

namespace {

void decodeAll(const wire::Frame& f) {
    (void)wire::decodeBegin(f), (void)wire::decodeBeginReply(f), (void)wire::decodeChunk(f);
    (void)wire::decodeChunkAck(f), (void)wire::decodeEnd(f), (void)wire::decodeVerifyReply(f);
    (void)wire::decodeFlashProgress(f), (void)wire::decodeCommitReply(f), (void)wire::idOfBegin(f);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t piece = data[0] % 16 + 1; // fed a few bytes at a time, as a serial line delivers
    wire::FrameReader reader;
    for (std::size_t at = 1; at < size; at += piece) {
        reader.feed(data + at, std::min(piece, size - at));
        while (const auto f = reader.next()) {
            if (f->body.size() > wire::kMaxFrameBody)
                std::abort();
            decodeAll(*f);
            const auto again = wire::makeFrame(f->type, f->body);
            wire::FrameReader check;
            check.feed(again.data(), again.size());
            const auto same = check.next();
            if (!same || same->type != f->type || same->body != f->body || check.discarded() != 0)
                std::abort();
        }
    }
    return 0;
}
