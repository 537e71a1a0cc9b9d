// sealing: the service's few secrets, on OpenSSL: random bytes, base64url, SHA-256 and HMAC, and
// AES-256-GCM sealing of records that only the holder of their key can read or alter.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace resolver {

using Key256 = std::array<std::uint8_t, 32>;

// Bytes from the system's cryptographic generator. Aborts the program when there are none (the
// service must never hand out a guessable address).
std::string RandomBytes(std::size_t count);

// RFC 4648 base64url without padding. Decode returns nullopt for anything else.
std::string Base64Url(std::string_view bytes);
std::optional<std::string> FromBase64Url(std::string_view text);

// SHA-256 and HMAC-SHA-256, as raw bytes. These functions can't fail.
std::string Sha256(std::string_view data);
std::string HmacSha256(std::string_view key, std::string_view data);
std::string Hex(std::string_view bytes);

// The plaintext sealed under the key: a random nonce, the ciphertext and its tag; context is
// bound to it (authenticated, not stored), so a record cannot be moved to another name. This
// function can't fail.
std::string Seal(const Key256& key, std::string_view plaintext, std::string_view context);

// The plaintext, or nullopt when the sealed text was made under another key or context, or has
// been altered in any way.
std::optional<std::string> Unseal(const Key256& key, std::string_view sealed,
                                  std::string_view context);

// A key of 32 bytes made from a text (SHA-256 of a label and the text). This function can't fail.
Key256 KeyFrom(std::string_view label, std::string_view text);

}  // namespace resolver
