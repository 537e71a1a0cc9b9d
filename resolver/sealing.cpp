// sealing: OpenSSL's RAND_bytes, EVP digests, HMAC and AES-256-GCM.
#include "sealing.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace resolver {
namespace {

constexpr std::size_t kNonce = 12;
constexpr std::size_t kTag = 16;
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

const unsigned char* Bytes(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

using Cipher = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

}  // namespace

std::string RandomBytes(std::size_t count) {
    std::string bytes(count, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1) {
        std::fputs("reelhawk-resolver: the system has no random bytes to give\n", stderr);
        std::abort();
    }
    return bytes;
}

std::string Base64Url(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() * 4 + 2) / 3);
    std::uint32_t buffer = 0;
    int bits = 0;
    for (unsigned char c : bytes) {
        buffer = (buffer << 8) | c;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out += kAlphabet[(buffer >> bits) & 63];
        }
    }
    if (bits > 0) {
        out += kAlphabet[(buffer << (6 - bits)) & 63];
    }
    return out;
}

std::optional<std::string> FromBase64Url(std::string_view text) {
    std::string out;
    std::uint32_t buffer = 0;
    int bits = 0;
    for (char c : text) {
        const char* at = std::strchr(kAlphabet, c);
        if (c == '\0' || at == nullptr) {
            return std::nullopt;
        }
        buffer = (buffer << 6) | static_cast<std::uint32_t>(at - kAlphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    // What is left must be padding bits, all zero, and fewer than a byte's worth.
    if (bits >= 6 || (buffer & ((1u << bits) - 1)) != 0) {
        return std::nullopt;
    }
    return out;
}

std::string Sha256(std::string_view data) {
    unsigned char digest[32];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<char*>(digest), length);
}

std::string HmacSha256(std::string_view key, std::string_view data) {
    unsigned char digest[32];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), Bytes(data), data.size(), digest,
         &length);
    return std::string(reinterpret_cast<char*>(digest), length);
}

std::string Hex(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

Key256 KeyFrom(std::string_view label, std::string_view text) {
    const std::string digest = Sha256(std::string(label) + '\0' + std::string(text));
    Key256 key{};
    std::memcpy(key.data(), digest.data(), key.size());
    return key;
}

std::string Seal(const Key256& key, std::string_view plaintext, std::string_view context) {
    std::string out = RandomBytes(kNonce);
    out.resize(kNonce + plaintext.size() + kTag);
    auto* cipherText = reinterpret_cast<unsigned char*>(out.data() + kNonce);
    Cipher ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    int length = 0;
    EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), Bytes(out));
    EVP_EncryptUpdate(ctx.get(), nullptr, &length, Bytes(context),
                      static_cast<int>(context.size()));
    EVP_EncryptUpdate(ctx.get(), cipherText, &length, Bytes(plaintext),
                      static_cast<int>(plaintext.size()));
    EVP_EncryptFinal_ex(ctx.get(), cipherText + length, &length);
    EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTag, cipherText + plaintext.size());
    return out;
}

std::optional<std::string> Unseal(const Key256& key, std::string_view sealed,
                                  std::string_view context) {
    if (sealed.size() < kNonce + kTag) {
        return std::nullopt;
    }
    const std::size_t size = sealed.size() - kNonce - kTag;
    std::string plain(size, '\0');
    auto* out = reinterpret_cast<unsigned char*>(plain.data());
    Cipher ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    int length = 0;
    std::string tag(sealed.substr(kNonce + size));
    const bool ok =
        EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), Bytes(sealed)) == 1 &&
        EVP_DecryptUpdate(ctx.get(), nullptr, &length, Bytes(context),
                          static_cast<int>(context.size())) == 1 &&
        EVP_DecryptUpdate(ctx.get(), out, &length, Bytes(sealed.substr(kNonce)),
                          static_cast<int>(size)) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTag, tag.data()) == 1 &&
        EVP_DecryptFinal_ex(ctx.get(), out + length, &length) == 1;
    if (!ok) {
        return std::nullopt;
    }
    return plain;
}

}  // namespace resolver
