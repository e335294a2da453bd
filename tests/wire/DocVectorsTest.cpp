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

    EXPECT_EQ(encodeScanRequest(0x12345678), v["scan-request"]);
    EXPECT_TRUE(isScanRequest(datagramOf(v["scan-request"], 0x12345678)));
    EXPECT_EQ(encodeInfoRequest(0x12345679, 101), v["info-request"]);
    EXPECT_EQ(decodeInfoRequest(datagramOf(v["info-request"], 0x12345679)), 101);
    const ScanPart scan{2, 0, {101, 102}};
    EXPECT_EQ(encodeScanReply(0x12345678, scan), v["scan-reply"]);
    EXPECT_EQ(decodeScanReply(datagramOf(v["scan-reply"], 0x12345678)), scan);
    const DeviceInfo info{101, InfoOk, 0xC0A80114, 0x01010241, 2, 3, "Cluster A"};
    EXPECT_EQ(encodeInfoReply(0x12345679, info), v["info-reply"]);
    EXPECT_EQ(decodeInfoReply(datagramOf(v["info-reply"], 0x12345679)), info);

    const BeginMsg begin{101, 0x400000, 0xDEADBEEF, 65536, 2};
    EXPECT_EQ(encode(begin), v["begin"]);
    EXPECT_EQ(decodeBegin(frameOf(v["begin"])), begin);
    EXPECT_EQ(encode(BeginReplyMsg{101, Ok}), v["begin-reply"]);
    EXPECT_EQ(decodeBeginReply(frameOf(v["begin-reply"])), (BeginReplyMsg{101, Ok}));
    EXPECT_EQ(encode(BeginReplyMsg{122, NotAccepted}), v["begin-reply-not-accepted"]);
    EXPECT_EQ(encode(ChunkAckMsg{65536, Ok}), v["chunk-ack"]);
    EXPECT_EQ(decodeChunkAck(frameOf(v["chunk-ack"])), (ChunkAckMsg{65536, Ok}));
    EXPECT_EQ(encode(EndMsg{0xDEADBEEF}), v["end"]);
    EXPECT_EQ(decodeEnd(frameOf(v["end"])), EndMsg{0xDEADBEEF});
    EXPECT_EQ(encode(CommitReplyMsg{Ok, 2, 4}), v["commit-reply"]);
    EXPECT_EQ(decodeCommitReply(frameOf(v["commit-reply"])), (CommitReplyMsg{Ok, 2, 4}));

    // The library sends a chunk as head, image bytes where they lie, trailer.
    const Bytes abcd = {'A', 'B', 'C', 'D'};
    const std::uint32_t abcdCrc = crc32Of(abcd.data(), abcd.size());
    const auto parts = chunkFrameParts(0, abcdCrc, 4);
    Bytes chunk(parts.head.begin(), parts.head.end());
    chunk.insert(chunk.end(), abcd.begin(), abcd.end());
    chunk.insert(chunk.end(), parts.trailer.begin(), parts.trailer.end());
    EXPECT_EQ(chunk, v["chunk"]);
    EXPECT_EQ(encode(ChunkMsg{0, abcdCrc, abcd}), v["chunk"]);
    const Frame f = frameOf(v["chunk"]);
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
    for (std::size_t i = 0; i < seed.size(); ++i)
        seed[i] = static_cast<std::uint8_t>(i);
    ASSERT_TRUE(fwsign::ready());
    crypto_sign_seed_keypair(pub.data(), secret.data(), seed.data());
    const Bytes& unsigned_ = v["image"];
    const auto sig = fwsign::signImage(unsigned_.data(), unsigned_.size(), secret, 5);
    Bytes signedImage = unsigned_;
    const auto section = fwimage::encodeSignatureSection(sig);
    signedImage.insert(signedImage.end(), section.begin(), section.end());
    EXPECT_EQ(signedImage, v["signed-image"]);
    fwimage::ImageInfo signedFields;
    EXPECT_EQ(fwimage::parseImage(v["signed-image"].data(), v["signed-image"].size(), signedFields),
              fwimage::ImageError::None);
    EXPECT_EQ(signedFields.signature, sig);
    EXPECT_EQ(fwsign::keyIdText(sig.keyId), "56475aa75463474c");
    fwsign::ImageHasher hasher;
    hasher.update(unsigned_.data(), unsigned_.size());
    EXPECT_TRUE(hasher.verify(signedFields.signature, pub));

    const BeginMsg signedBegin{101, 68, crc32Of(unsigned_.data(), unsigned_.size()), 65536, 2, sig};
    EXPECT_EQ(encode(signedBegin), v["begin-signed"]);
    EXPECT_EQ(decodeBegin(frameOf(v["begin-signed"])), signedBegin);
    for (const auto& [name, reply] :
         {std::pair("begin-reply-unsigned", BeginReplyMsg{101, Unsigned}),
          std::pair("begin-reply-unknown-key", BeginReplyMsg{101, UnknownKey}),
          std::pair("begin-reply-counter-too-low", BeginReplyMsg{101, CounterTooLow, 5})}) {
        EXPECT_EQ(encode(reply), v[name]) << name;
        EXPECT_EQ(decodeBeginReply(frameOf(v[name])), reply) << name;
    }
    EXPECT_EQ(encode(VerifyReplyMsg{BadSignature}), v["verify-reply-bad-signature"]);
    EXPECT_EQ(decodeVerifyReply(frameOf(v["verify-reply-bad-signature"])), VerifyReplyMsg{BadSignature});
}
