// Signing and checking firmware images with Ed25519ph (libsodium): key files, key ids and
// the streaming check a device runs over an image while it arrives. Separate from the
// image format itself, so that what only reads images needs no crypto library.
#pragma once

#include "wire/FirmwareImage.h"

#include <sodium.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fwsign {

using PublicKey = std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES>;
using SecretKey = std::array<std::uint8_t, crypto_sign_SECRETKEYBYTES>; // seed and public key

struct KeyPair {
    PublicKey publicKey{};
    SecretKey secretKey{};
};

// False only if libsodium cannot start (no entropy source); every other call needs it.
bool ready();

KeyPair generateKeyPair();
// The first 8 bytes of SHA-256 of the public key.
fwimage::KeyId keyIdOf(const PublicKey& key);
// 16 lowercase hex digits, as every program prints a key id.
std::string keyIdText(const fwimage::KeyId& id);

// Key files are one line of text: "ed25519 BASE64" (public), "ed25519-secret BASE64" (secret).
// The parsers take the line with or without its line end, and nothing else.
std::string publicKeyText(const PublicKey& key);
std::string secretKeyText(const SecretKey& key);
std::optional<PublicKey> parsePublicKey(std::string_view text);
// Also checks that the public half matches the seed, so a damaged file cannot sign.
std::optional<SecretKey> parseSecretKey(std::string_view text);
PublicKey publicKeyOf(const SecretKey& key);

// The Ed25519ph state over header, payload and the section's signed fields, fed the image
// bytes as they come: a device keeps this and never the payload.
class ImageHasher {
public:
    ImageHasher();
    void update(const std::uint8_t* data, std::size_t size);
    // True when `sig` is a signature by `key` over everything fed. Ends the hasher.
    bool verify(const fwimage::ImageSignature& sig, const PublicKey& key);
    // The signature section for everything fed, signed by `key` with `counter`. Ends the hasher.
    fwimage::ImageSignature sign(const SecretKey& key, std::uint32_t counter);

private:
    void feedSignedFields(const fwimage::ImageSignature& sig);

    crypto_sign_state m_state{};
};

// Signs header and payload in memory (`image` without a section).
fwimage::ImageSignature signImage(const std::uint8_t* image, std::size_t size, const SecretKey& key,
                                  std::uint32_t counter);

} // namespace fwsign
