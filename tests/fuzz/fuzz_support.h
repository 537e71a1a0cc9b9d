// Shared by the fuzz targets: reading their inputs and checking what they find.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// Texts never hold a zero byte: a text made from fuzz data ends at the first one.
inline std::string_view CutAtZero(const std::uint8_t* data, std::size_t size) {
    const auto* bytes = reinterpret_cast<const char*>(data);
    const void* zero = std::memchr(bytes, 0, size);
    return std::string_view(bytes, zero ? static_cast<const char*>(zero) - bytes : size);
}

// Reads fixed-size fields from the front of an input; missing bytes read as zero.
class Reader {
  public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    template <class T>
    T Value() {
        std::uint8_t bytes[sizeof(T)] = {};
        for (auto& b : bytes) {
            b = Byte();
        }
        T value;
        std::memcpy(&value, bytes, sizeof(T));
        return value;
    }
    // The next n bytes (fewer at the end), as a text cut at its first zero.
    std::string_view Text(std::size_t n) {
        n = n < size_ - pos_ ? n : size_ - pos_;
        const std::string_view text = CutAtZero(data_ + pos_, n);
        pos_ += n;
        return text;
    }
    std::string_view Rest() { return Text(size_ - pos_); }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

[[noreturn]] inline void Fail(const char* check, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, check);
    std::abort();
}

#define FUZZ_CHECK(condition)                             \
    do {                                                  \
        if (!(condition)) {                               \
            ::fuzz::Fail(#condition, __FILE__, __LINE__); \
        }                                                 \
    } while (false)

// Marks the character starts of a text when it is walked from byte `from`: a byte with its high
// bit set takes the next byte with it; a lone one at the end is the last character.
inline std::vector<bool> CharacterStarts(std::string_view text, std::size_t from = 0) {
    std::vector<bool> starts(text.size() + 1, false);
    std::size_t i = from;
    while (i < text.size()) {
        starts[i] = true;
        i += (static_cast<unsigned char>(text[i]) >= 0x80) ? 2 : 1;
    }
    return starts;
}

// The text with every trail byte replaced by 0x01, so that a plain substring search of ASCII
// separators finds only matches at character starts.
inline std::string MaskTrailBytes(std::string_view text) {
    std::string masked(text);
    for (std::size_t i = 0; i < masked.size();) {
        if (static_cast<unsigned char>(masked[i]) >= 0x80 && i + 1 < masked.size()) {
            masked[i + 1] = '\x01';
            i += 2;
        } else {
            ++i;
        }
    }
    return masked;
}

}  // namespace fuzz
