// The byte examples of docs/protocol.md and docs/image-format.md, read from the documents
// themselves: the codec writes exactly those bytes from the documented fields (the library's
// zero-copy Chunk path too) and reads them back to those fields. A layout change made on both
// sides, such as a moved field or a frame CRC over the sync bytes, fails here. Every hex
// example in the documents must carry a mark, so none is left unchecked. The signed example
// image is signed anew from its documented seed and its signature verifies.
#include "wire/Crc32.h"
#include "wire/Datagram.h"
#include "wire/FirmwareImage.h"
#include "wire/ImageSigning.h"
#include "wire/UploadFrames.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <numeric>
#include <regex>

using namespace wire;
using Bytes = std::vector<std::uint8_t>;

namespace {

// The examples of a document by the name of their "<!-- test vector: NAME -->" mark: the hex
// bytes of the lines after it, "7E A5 10 ..." indented or xxd's "00000010: 7070 6c00 ...  text".
void readVectors(const char* doc, std::map<std::string, Bytes>& vectors) {
    const char* root = std::getenv("ZU_SOURCE_DIR");
    std::ifstream in(std::string(root ? root : ".") + "/docs/" + doc);
    ASSERT_TRUE(in) << doc;
    const std::regex mark("<!-- test vector: ([a-z-]+) -->"), plain(R"(\s{4}((?:[0-9A-F]{2} ?)+))"),
        dump(R"([0-9a-f]{8}: ((?:[0-9a-f]{2,4} )+) .*)");
    std::string line, name;
    for (int number = 1; std::getline(in, line); ++number) {
        std::smatch m;
        if (std::regex_match(line, m, mark)) {
            EXPECT_FALSE(vectors.count(name = m[1])) << doc << ": " << name << " twice";
            vectors[name];
        } else if (std::regex_match(line, m, plain) || std::regex_match(line, m, dump)) {
            EXPECT_FALSE(name.empty()) << doc << ":" << number << ": example without a test vector mark";
            const std::string digits = std::regex_replace(m[1].str(), std::regex(" "), "");
            for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
                vectors[name].push_back(
                    static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
        } else if (!line.empty() && line.rfind("```", 0) != 0) {
            name.clear(); // prose ends an example
        }
    }
}

Frame frameOf(const Bytes& bytes) {
    FrameReader reader;
    reader.feed(bytes.data(), bytes.size());
    const auto f = reader.next();
    EXPECT_TRUE(f && reader.discarded() == 0) << "not one whole frame";
    return f.value_or(Frame{});
}

Datagram datagramOf(const Bytes& bytes, std::uint32_t seq) {
    const auto d = parseDatagram(bytes.data(), bytes.size());
    EXPECT_TRUE(d && d->seq == seq) << "not a datagram with sequence " << seq;
    return d.value_or(Datagram{});
}

} // namespace

TEST(DocVectors, EncodeGivesTheDocumentedBytesDecodeTheDocumentedFields) {
    std::map<std::string, Bytes> v;
    readVectors("protocol.md", v);
    readVectors("image-format.md", v);
    EXPECT_EQ(v.size(), 18u) << "an example was added or removed: check it here";
    // The example `name` written from `fields`, and read back to them.
    const auto datagram = [&](const char* name, std::uint32_t seq, const auto& fields, auto encode,
                              auto decode) {
        EXPECT_EQ(encode(seq, fields), v[name]) << name;
        EXPECT_EQ(decode(datagramOf(v[name], seq)), fields) << name;
    };
    const auto frame = [&](const char* name, const auto& fields, auto decode) {
        EXPECT_EQ(encode(fields), v[name]) << name;
        EXPECT_EQ(decode(frameOf(v[name])), fields) << name;
    };

    EXPECT_EQ(encodeScanRequest(0x12345678), v["scan-request"]);
    EXPECT_TRUE(isScanRequest(datagramOf(v["scan-request"], 0x12345678)));
    datagram("info-request", 0x12345679, 101, encodeInfoRequest, decodeInfoRequest);
    datagram("scan-reply", 0x12345678, ScanPart{2, 0, {101, 102}}, encodeScanReply, decodeScanReply);
    const DeviceInfo info{101, InfoOk, 0xC0A80114, 0x01010241, 2, 3, "Cluster A"};
    datagram("info-reply", 0x12345679, info, encodeInfoReply, decodeInfoReply);
    frame("begin", BeginMsg{101, 0x400000, 0xDEADBEEF, 65536, 2}, decodeBegin);
    frame("begin-reply", BeginReplyMsg{101, Ok}, decodeBeginReply);
    frame("begin-reply-not-accepted", BeginReplyMsg{122, NotAccepted}, decodeBeginReply);
    frame("chunk-ack", ChunkAckMsg{65536, Ok}, decodeChunkAck);
    frame("end", EndMsg{0xDEADBEEF}, decodeEnd);
    frame("commit-reply", CommitReplyMsg{Ok, 2, 4}, decodeCommitReply);
    frame("begin-reply-unsigned", BeginReplyMsg{101, Unsigned}, decodeBeginReply);
    frame("begin-reply-unknown-key", BeginReplyMsg{101, UnknownKey}, decodeBeginReply);
    frame("begin-reply-counter-too-low", BeginReplyMsg{101, CounterTooLow, 5}, decodeBeginReply);
    frame("verify-reply-bad-signature", VerifyReplyMsg{BadSignature}, decodeVerifyReply);

    // The library sends a chunk as head, image bytes where they lie, trailer.
    const Bytes abcd = {'A', 'B', 'C', 'D'};
    const std::uint32_t abcdCrc = crc32Of(abcd.data(), abcd.size());
    const auto parts = chunkFrameParts(0, abcdCrc, 4);
    Bytes chunk(parts.head.begin(), parts.head.end());
    chunk.insert(chunk.end(), abcd.begin(), abcd.end());
    chunk.insert(chunk.end(), parts.trailer.begin(), parts.trailer.end());
    EXPECT_EQ(chunk, v["chunk"]);
    EXPECT_EQ(encode(ChunkMsg{0, abcdCrc, abcd}), v["chunk"]);
    const Frame f = frameOf(v["chunk"]); // the decoded data points into it
    const auto read = decodeChunk(f);
    EXPECT_TRUE(read && read->offset == 0 && read->dataCrc == abcdCrc &&
                Bytes(read->data.begin(), read->data.end()) == abcd);

    const fwimage::ImageInfo image{2, "NetAppl", 1, 5, {24, 12, 25}, 4, abcdCrc};
    EXPECT_EQ(fwimage::buildImage(image, abcd.data(), abcd.size()), v["image"]);
    fwimage::ImageInfo fields;
    EXPECT_EQ(fwimage::parseImage(v["image"].data(), v["image"].size(), fields), fwimage::ImageError::None);
    EXPECT_EQ(fields, image);

    // The signed example: key from the seed 0x00..0x1f, counter 5.
    fwsign::PublicKey pub{};
    fwsign::SecretKey secret{};
    std::array<std::uint8_t, crypto_sign_SEEDBYTES> seed{};
    std::iota(seed.begin(), seed.end(), std::uint8_t{0});
    ASSERT_TRUE(fwsign::ready());
    crypto_sign_seed_keypair(pub.data(), secret.data(), seed.data());
    const Bytes& unsigned_ = v["image"];
    const auto sig = fwsign::signImage(unsigned_.data(), unsigned_.size(), secret, 5);
    Bytes signedImage = unsigned_;
    const auto section = fwimage::encodeSignatureSection(sig);
    signedImage.insert(signedImage.end(), section.begin(), section.end());
    EXPECT_EQ(signedImage, v["signed-image"]);
    const Bytes& documented = v["signed-image"];
    EXPECT_EQ(fwimage::parseImage(documented.data(), documented.size(), fields), fwimage::ImageError::None);
    EXPECT_EQ(fields.signature, sig);
    EXPECT_EQ(fwsign::keyIdText(sig.keyId), "56475aa75463474c");
    fwsign::ImageHasher hasher;
    hasher.update(unsigned_.data(), unsigned_.size());
    EXPECT_TRUE(hasher.verify(fields.signature, pub));
    frame("begin-signed", BeginMsg{101, 68, crc32Of(unsigned_.data(), unsigned_.size()), 65536, 2, sig},
          decodeBegin);
}
