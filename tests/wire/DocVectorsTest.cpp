// The byte examples of docs/protocol.md and docs/image-format.md, read from the documents
// themselves: the codec writes exactly those bytes from the documented fields (the library's
// zero-copy Chunk path too) and reads them back to those fields. A layout change made on both
// sides, such as a moved field or a frame CRC over the sync bytes, fails here. Every hex
// example in the documents must carry a mark, so none is left unchecked.
#include "wire/Crc32.h"
#include "wire/Datagram.h"
#include "wire/FirmwareImage.h"
#include "wire/UploadFrames.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>

using namespace wire;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Hex bytes of an example line: "7E A5 10 ..." indented, or an xxd line "00000010: 7070 6c00 ...  text".
std::optional<Bytes> hexLine(const std::string& line) {
    static const std::regex plain(R"(\s{4}((?:[0-9A-Fa-f]{2} ?)+))"), dump(R"([0-9a-f]{8}: ((?:[0-9a-f]{2,4} )+) .*)");
    std::smatch m;
    std::string digits;
    if (std::regex_match(line, m, plain) || std::regex_match(line, m, dump))
        digits = std::regex_replace(m[m.size() - 1].str(), std::regex(" "), "");
    if (digits.empty())
        return std::nullopt;
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

// The examples of one document by the name of their "<!-- test vector: NAME -->" mark.
std::map<std::string, Bytes> vectorsIn(const char* doc) {
    const char* root = std::getenv("ZU_SOURCE_DIR");
    std::ifstream in(std::string(root ? root : ".") + "/docs/" + doc);
    EXPECT_TRUE(in) << doc;
    std::map<std::string, Bytes> vectors;
    std::string line, name;
    for (int number = 1; std::getline(in, line); ++number) {
        std::smatch m;
        if (std::regex_match(line, m, std::regex("<!-- test vector: ([a-z-]+) -->"))) {
            name = m[1];
            EXPECT_FALSE(vectors.count(name)) << doc << ": " << name << " twice";
            vectors[name];
        } else if (const auto bytes = hexLine(line)) {
            EXPECT_FALSE(name.empty()) << doc << ":" << number << ": example without a test vector mark";
            vectors[name].insert(vectors[name].end(), bytes->begin(), bytes->end());
        } else if (!line.empty() && line.rfind("```", 0) != 0) {
            name.clear(); // prose ends an example
        }
    }
    return vectors;
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

// Encodes the documented fields, and tells whether the documented bytes decode to them.
struct Check {
    std::function<Bytes()> encode;
    std::function<bool(const Bytes&)> decodes;
};

template <class Msg, class Decode> Check frameCheck(Msg msg, Decode decode) {
    return {[msg] { return wire::encode(msg); }, [msg, decode](const Bytes& b) { return decode(frameOf(b)) == msg; }};
}

const Bytes kAbcd = {'A', 'B', 'C', 'D'};

std::map<std::string, Check> checks() {
    const ScanPart scan{2, 0, {101, 102}};
    const DeviceInfo info{101, InfoOk, 0xC0A80114, 0x01010241, 2, 3, "Cluster A"};
    const std::uint32_t abcdCrc = crc32Of(kAbcd.data(), kAbcd.size());
    fwimage::ImageInfo image{2, "NetAppl", 1, 5, {24, 12, 25}, 4, abcdCrc};
    return {
        {"scan-request",
         {[] { return encodeScanRequest(0x12345678); },
          [](const Bytes& b) { return isScanRequest(datagramOf(b, 0x12345678)); }}},
        {"info-request",
         {[] { return encodeInfoRequest(0x12345679, 101); },
          [](const Bytes& b) { return decodeInfoRequest(datagramOf(b, 0x12345679)) == 101; }}},
        {"scan-reply",
         {[=] { return encodeScanReply(0x12345678, scan); },
          [=](const Bytes& b) { return decodeScanReply(datagramOf(b, 0x12345678)) == scan; }}},
        {"info-reply",
         {[=] { return encodeInfoReply(0x12345679, info); },
          [=](const Bytes& b) { return decodeInfoReply(datagramOf(b, 0x12345679)) == info; }}},
        {"begin", frameCheck(BeginMsg{101, 0x400000, 0xDEADBEEF, 65536}, decodeBegin)},
        {"begin-reply", frameCheck(BeginReplyMsg{101, Ok}, decodeBeginReply)},
        {"chunk-ack", frameCheck(ChunkAckMsg{65536, Ok}, decodeChunkAck)},
        {"end", frameCheck(EndMsg{0xDEADBEEF}, decodeEnd)},
        {"commit-reply", frameCheck(CommitReplyMsg{Ok, 2, 4}, decodeCommitReply)},
        {"chunk",
         {[=] {
              // The library sends a chunk as head, image bytes in place, trailer.
              const auto parts = chunkFrameParts(0, abcdCrc, 4);
              Bytes b(parts.head.begin(), parts.head.end());
              b.insert(b.end(), kAbcd.begin(), kAbcd.end());
              b.insert(b.end(), parts.trailer.begin(), parts.trailer.end());
              EXPECT_EQ(b, encode(ChunkMsg{0, abcdCrc, kAbcd}));
              return b;
          },
          [=](const Bytes& b) {
              const Frame f = frameOf(b);
              const auto c = decodeChunk(f);
              return c && c->offset == 0 && c->dataCrc == abcdCrc && Bytes(c->data.begin(), c->data.end()) == kAbcd;
          }}},
        {"image",
         {[=] { return fwimage::buildImage(image, kAbcd.data(), kAbcd.size()); },
          [=](const Bytes& b) {
              fwimage::ImageInfo read;
              return fwimage::parseImage(b.data(), b.size(), read) == fwimage::ImageError::None && read == image;
          }}},
    };
}

} // namespace

TEST(DocVectors, EncodeGivesTheDocumentedBytesDecodeTheDocumentedFields) {
    auto vectors = vectorsIn("protocol.md");
    vectors.merge(vectorsIn("image-format.md"));
    const auto expected = checks();
    EXPECT_EQ(vectors.size(), expected.size()) << "every check finds its example and every example its check";
    for (const auto& [name, check] : expected) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(vectors.count(name)) << "example missing from the documents";
        const Bytes& documented = vectors[name];
        EXPECT_EQ(check.encode(), documented);
        EXPECT_TRUE(check.decodes(documented));
    }
}
