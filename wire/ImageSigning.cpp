#include "wire/ImageSigning.h"

#include <algorithm>

namespace fwsign {

namespace {

constexpr std::string_view kPublicTag = "ed25519 ";
constexpr std::string_view kSecretTag = "ed25519-secret ";
constexpr int kBase64 = sodium_base64_VARIANT_ORIGINAL;

template <std::size_t N> std::string keyText(std::string_view tag, const std::array<std::uint8_t, N>& key) {
    char encoded[sodium_base64_ENCODED_LEN(N, kBase64)];
    sodium_bin2base64(encoded, sizeof encoded, key.data(), key.size(), kBase64);
    return std::string(tag) + encoded + "\n";
}

// Exactly the tag, the base64 of N bytes and at most one line end.
template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> parseKey(std::string_view tag, std::string_view text) {
    if (text.ends_with('\n'))
        text.remove_suffix(1);
    if (text.ends_with('\r'))
        text.remove_suffix(1);
    if (!text.starts_with(tag) || !ready())
        return std::nullopt;
    text.remove_prefix(tag.size());
    std::array<std::uint8_t, N> key{};
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(key.data(), key.size(), text.data(), text.size(), nullptr, &length, &end,
                          kBase64) != 0 ||
        length != N || end != text.data() + text.size())
        return std::nullopt;
    return key;
}

} // namespace

bool ready() {
    static const bool started = sodium_init() >= 0;
    return started;
}

KeyPair generateKeyPair() {
    KeyPair pair;
    if (ready())
        crypto_sign_keypair(pair.publicKey.data(), pair.secretKey.data());
    return pair;
}

fwimage::KeyId keyIdOf(const PublicKey& key) {
    std::array<std::uint8_t, crypto_hash_sha256_BYTES> digest{};
    crypto_hash_sha256(digest.data(), key.data(), key.size());
    fwimage::KeyId id{};
    std::copy_n(digest.begin(), id.size(), id.begin());
    return id;
}

std::string keyIdText(const fwimage::KeyId& id) {
    char hex[2 * fwimage::kKeyIdBytes + 1];
    sodium_bin2hex(hex, sizeof hex, id.data(), id.size());
    return hex;
}

std::string publicKeyText(const PublicKey& key) {
    return keyText(kPublicTag, key);
}

std::string secretKeyText(const SecretKey& key) {
    return keyText(kSecretTag, key);
}

std::optional<PublicKey> parsePublicKey(std::string_view text) {
    return parseKey<crypto_sign_PUBLICKEYBYTES>(kPublicTag, text);
}

std::optional<SecretKey> parseSecretKey(std::string_view text) {
    auto key = parseKey<crypto_sign_SECRETKEYBYTES>(kSecretTag, text);
    if (!key)
        return std::nullopt;
    PublicKey derived{};
    SecretKey again{};
    crypto_sign_seed_keypair(derived.data(), again.data(), key->data());
    if (!std::equal(derived.begin(), derived.end(), key->begin() + crypto_sign_SEEDBYTES))
        return std::nullopt;
    return key;
}

PublicKey publicKeyOf(const SecretKey& key) {
    PublicKey pub{};
    crypto_sign_ed25519_sk_to_pk(pub.data(), key.data());
    return pub;
}

ImageHasher::ImageHasher() {
    if (ready())
        crypto_sign_init(&m_state);
}

void ImageHasher::update(const std::uint8_t* data, std::size_t size) {
    crypto_sign_update(&m_state, data, size);
}

void ImageHasher::feedSignedFields(const fwimage::ImageSignature& sig) {
    const auto section = fwimage::encodeSignatureSection(sig);
    crypto_sign_update(&m_state, section.data(), fwimage::kSignedSectionBytes);
}

bool ImageHasher::verify(const fwimage::ImageSignature& sig, const PublicKey& key) {
    feedSignedFields(sig);
    return crypto_sign_final_verify(&m_state, sig.signature.data(), key.data()) == 0;
}

fwimage::ImageSignature ImageHasher::sign(const SecretKey& key, std::uint32_t counter) {
    fwimage::ImageSignature sig;
    sig.present = true;
    sig.keyId = keyIdOf(publicKeyOf(key));
    sig.counter = counter;
    feedSignedFields(sig);
    crypto_sign_final_create(&m_state, sig.signature.data(), nullptr, key.data());
    return sig;
}

fwimage::ImageSignature signImage(const std::uint8_t* image, std::size_t size, const SecretKey& key,
                                  std::uint32_t counter) {
    ImageHasher hasher;
    hasher.update(image, size);
    return hasher.sign(key, counter);
}

} // namespace fwsign
