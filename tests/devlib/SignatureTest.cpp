// Signed images through the library against simulated devices that check them: over 400
// tampered variants of a signed image (bit flips over header, payload and signature section,
// resealed as an attacker would; a section stripped, re-signed by an untrusted key, with a
// lower counter, grafted from another image) commit nowhere and each is refused with its
// reason (a section cut or damaged is no image: tests/wire and the library test refuse those); the genuine
// image commits where its key is trusted and where no key is; key rotation; a lower counter refused after a
// commit, also after a restart.
#include "devlib/TestDll.h"
#include "support/LittleEndian.h"
#include "tests/support/StationProcess.h"
#include "wire/Crc32.h"
#include "wire/ImageSigning.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <tuple>

using namespace zutest;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::int32_t kTrustsOld = 101, kTrustsBoth = 102, kNoKeys = 103, kRollback = 104;
const fwsign::KeyPair g_old = fwsign::generateKeyPair(), g_new = fwsign::generateKeyPair(),
                      g_stranger = fwsign::generateKeyPair();
const TempDir g_dir;

StationLayout station(bool oldKeyKept) {
    const auto pub = [](const fwsign::KeyPair& k) { return fwsign::publicKeyText(k.publicKey); };
    StationLayout s = makeStation(4);
    s.devices[0].trustedKeys = {pub(g_old)};
    s.devices[1].trustedKeys = oldKeyKept ? std::vector{pub(g_old), pub(g_new)} : std::vector{pub(g_new)};
    s.devices[0].securityCounter = s.devices[1].securityCounter = 5;
    s.devices[3].trustedKeys = {pub(g_old)};
    return s;
}

std::unique_ptr<StationProcess> g_station;

// The station on `port` (0: a free one), keeping its state across restarts.
void start(bool oldKeyKept, int port = 0) {
    g_station.reset();
    g_station =
        std::make_unique<StationProcess>(station(oldKeyKept), StationOptions{port, g_dir.file("state.json")});
    ::setenv("TESTDLL_NETWORK", g_station->endpoint().c_str(), 1); // read by the library's first call
}

// Header and payload (version major.0) signed by `key` with `counter`.
Bytes signedImage(const fwsign::KeyPair& key, std::uint32_t counter, int major = 3,
                  std::size_t payload = 3000) {
    Bytes image = makeImageBytes(payload, major, 0);
    const auto section = fwimage::encodeSignatureSection(
        fwsign::signImage(image.data(), image.size(), key.secretKey, counter));
    image.insert(image.end(), section.begin(), section.end());
    return image;
}

// Every CRC made right again, as anyone forging an image would.
Bytes resealed(Bytes b) {
    const std::size_t end = b.size() - fwimage::kSignatureSectionSize;
    support::storeU32(b.data() + 56, wire::crc32Of(b.data() + 64, end - 64));
    support::storeU32(b.data() + 60, wire::crc32Of(b.data(), 60));
    support::storeU32(b.data() + b.size() - 4,
                      wire::crc32Of(b.data() + end, fwimage::kSignatureSectionSize - 4));
    return b;
}

// Each target's outcome for `image` sent to `ids`.
std::vector<UploadOutcome> upload(const Bytes& image, std::vector<std::int32_t> ids) {
    const std::string path = g_dir.write("image.bin", std::string(image.begin(), image.end()));
    DllUploadFileToDevices(static_cast<int32_t>(ids.size()), ids.data(), path.c_str(), nullptr);
    std::vector<UploadOutcome> report(ids.size());
    DllGetUploadReport(report.data(), static_cast<int32_t>(report.size()));
    return report;
}

int majorOf(std::int32_t id) {
    RemoteInfo info{};
    return DllGetRemoteInfo(id, &info) ? info.versionMajor : -1;
}

std::string unknownKey(const fwimage::KeyId& id) {
    return "signed by an unknown key (id " + fwsign::keyIdText(id) + ")";
}

std::string belowFive(std::uint32_t counter) {
    return "security counter " + std::to_string(counter) + " is below the device's 5";
}

} // namespace

TEST(Signature, EveryTamperedImageRefusedWithItsReason) {
    start(true);
    ASSERT_TRUE(g_station->running()) << g_station->error();
    const Bytes good = signedImage(g_old, 5);
    const std::size_t section = good.size() - fwimage::kSignatureSectionSize;
    const std::string noVerify = "signature does not verify";
    // `count` bit positions spread evenly over bytes from..to: type code, versions and dates,
    // payload, key id and counter, signature.
    std::vector<std::size_t> bits;
    for (const auto& [from, to, count] : {std::tuple<std::size_t, std::size_t, std::size_t>{8, 12, 32},
                                          {32, 52, 160},
                                          {64, section, 64},
                                          {section + 8, section + 20, 96},
                                          {section + 20, section + 84, 64}})
        for (std::size_t i = 0; i < count; ++i)
            bits.push_back(8 * from + i * 8 * (to - from) / count + (count < 8 * (to - from) ? i % 8 : 0));
    std::vector<std::pair<Bytes, std::string>> variants;
    for (const std::size_t bit : bits) {
        Bytes b = good;
        b[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        b = resealed(b);
        fwimage::ImageInfo info;
        fwimage::parseImage(b.data(), b.size(), info);
        const fwimage::ImageSignature& sig = info.signature;
        variants.emplace_back(b, sig.keyId != fwsign::keyIdOf(g_old.publicKey) ? unknownKey(sig.keyId)
                                 : sig.counter < 5                             ? belowFive(sig.counter)
                                                                               : noVerify);
    }
    variants.emplace_back(Bytes(good.begin(), good.begin() + static_cast<long>(section)), "unsigned image");
    variants.emplace_back(signedImage(g_stranger, 5), unknownKey(fwsign::keyIdOf(g_stranger.publicKey)));
    variants.emplace_back(signedImage(g_old, 4), belowFive(4));
    Bytes grafted(good.begin(), good.begin() + static_cast<long>(section)); // another image's section
    const Bytes donor = signedImage(g_old, 5, 3, 2999);
    grafted.insert(grafted.end(), donor.end() - fwimage::kSignatureSectionSize, donor.end());
    variants.emplace_back(grafted, noVerify);
    ASSERT_GE(variants.size(), 400u);

    for (const auto& [image, reason] : variants) {
        for (const UploadOutcome& r : upload(image, {kTrustsOld, kTrustsBoth})) {
            EXPECT_EQ(r.outcome, UPLOAD_REFUSED) << reason;
            EXPECT_EQ(r.reason, reason) << "variant " << &reason - &variants[0].second;
        }
    }
    EXPECT_TRUE(majorOf(kTrustsOld) == 1 && majorOf(kTrustsBoth) == 1) << "a tampered image committed";
    // The genuine image: taken where its key is trusted and where no key is.
    for (const UploadOutcome& r : upload(good, {kTrustsOld, kNoKeys}))
        EXPECT_EQ(r.outcome, UPLOAD_COMMITTED) << r.reason;
    EXPECT_TRUE(majorOf(kTrustsOld) == 3 && majorOf(kNoKeys) == 3) << "the genuine image not committed";
}

TEST(Signature, KeyRotationAndRollbackAcrossARestart) {
    if (!g_station)
        start(true);
    const auto reason = [](const Bytes& image, std::int32_t id) {
        return std::string(upload(image, {id})[0].reason);
    };
    const auto commits = [&](const Bytes& image, std::int32_t id) { EXPECT_EQ(reason(image, id), ""); };
    commits(signedImage(g_old, 5, 4), kTrustsBoth);
    commits(signedImage(g_new, 6, 5), kTrustsBoth);
    commits(signedImage(g_old, 5, 6), kRollback);
    const Bytes older = signedImage(g_old, 4, 7);
    EXPECT_EQ(reason(older, kRollback), belowFive(4));
    start(false, g_station->port()); // restarted, the old key retired from the device that trusted both
    ASSERT_TRUE(g_station->running()) << g_station->error();
    EXPECT_EQ(reason(older, kRollback), belowFive(4));
    EXPECT_EQ(reason(signedImage(g_old, 7, 8), kTrustsBoth), unknownKey(fwsign::keyIdOf(g_old.publicKey)));
    commits(signedImage(g_new, 7, 9), kTrustsBoth);
    EXPECT_EQ(majorOf(kTrustsBoth), 9);
    EXPECT_EQ(majorOf(kRollback), 6);
}
