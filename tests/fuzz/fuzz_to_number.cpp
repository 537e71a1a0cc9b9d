// ToNumber against the C library: fold the full-width forms (written out again here), hide every
// letter that could start a spelling the program does not read (hexadecimal, inf, nan), and
// compare with strtod, bit for bit. FloatToInteger and IntegerToText against references of their
// own on values taken from the input.
#include <cmath>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "runtime/text.h"

namespace {

std::string Fold(std::string_view text) {
    std::string folded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            folded += text[i];
            continue;
        }
        if (i + 1 == text.size()) {
            break;
        }
        const auto trail = static_cast<unsigned char>(text[++i]);
        if (lead == 0xA3 && trail >= 0xA1 && trail != 0xFF) {
            folded += static_cast<char>(trail - 0x80);
        } else if (lead == 0xA1 && trail == 0xA1) {
            folded += ' ';
        } else if (lead == 0xA1 && trail == 0xAB) {
            folded += '~';
        } else if (lead == 0xA1 && (trail == 0xEE || trail == 0xEF)) {
            folded += '*';
        } else {
            folded += static_cast<char>(lead);
            folded += static_cast<char>(trail);
        }
    }
    return folded;
}

double CReference(const std::string& folded) {
    std::string plain = folded;
    for (char& c : plain) {
        const auto b = static_cast<unsigned char>(c);
        const bool letter = (b | 0x20) >= 'a' && (b | 0x20) <= 'z';
        if ((letter && (b | 0x20) != 'e') || b >= 0x80) {
            c = '#';
        }
    }
    return std::strtod(plain.c_str(), nullptr);
}

bool SameDouble(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::int32_t IntegerReference(double x) {
    if (!std::isfinite(x) || std::fabs(x) >= 9223372036854775808.0) {
        return 0;
    }
    double low = std::fmod(std::trunc(x), 4294967296.0);  // exact
    if (low < 0) {
        low += 4294967296.0;
    }
    const auto bits = static_cast<std::uint32_t>(low);
    return bits >= 0x80000000u ? static_cast<std::int32_t>(bits - 0x80000000u) - 0x7FFFFFFF - 1
                               : static_cast<std::int32_t>(bits);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::CutAtZero(data, size);
    const std::string folded = Fold(text);
    const double number = rh::ToNumber(text);
    FUZZ_CHECK(!std::isnan(number));
    FUZZ_CHECK(SameDouble(number, CReference(folded)));
    FUZZ_CHECK(SameDouble(number, rh::ToNumber(std::string_view(folded))));
    FUZZ_CHECK(rh::FloatToInteger(number) == IntegerReference(number));

    // Any bit pattern as a double, NaNs and infinities included.
    if (size >= sizeof(double)) {
        double raw;
        std::memcpy(&raw, data, sizeof raw);
        FUZZ_CHECK(rh::FloatToInteger(raw) == IntegerReference(raw));
    }
    if (size >= sizeof(std::int32_t)) {
        std::int32_t value;
        std::memcpy(&value, data, sizeof value);
        const rh::Text written = rh::IntegerToText(value);
        FUZZ_CHECK(rh::View(written) == std::to_string(value));
        FUZZ_CHECK(rh::ToNumber(rh::View(written)) == value);
    }
    return 0;
}
