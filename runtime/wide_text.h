// Texts and the system's UTF-16. Every text of this program is GBK bytes (code page 936), whatever
// the system's own code page is, so every text that goes to or comes from Windows is converted
// here with code page 936 and passed through the wide API. Nothing converts with CP_ACP.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include "runtime/memory.h"
#include "runtime/text.h"

namespace rh {

inline constexpr UINT kProgramCodePage = 936;

using WideText = std::basic_string<wchar_t, std::char_traits<wchar_t>, RuntimeAllocator<wchar_t>>;

// The UTF-16 units of the text, cut at its first zero byte, written to `out` when it has room for
// them; the number of units either way (0 for the empty text). No terminator is written.
std::size_t WideFromTextInto(TextView text, wchar_t* out, std::size_t capacity) noexcept;

// The text in UTF-16, cut at its first zero byte.
WideText WideFromText(TextView text);
// The UTF-16 text up to its first NUL (or `length` units) as a text. A character that GBK cannot
// hold becomes "?", never a look-alike that GBK has ("â" is not made "a", nor "²" "2"): such a
// character would quietly change what the text names.
Text TextFromWide(const wchar_t* wide, std::size_t length);
inline Text TextFromWide(const wchar_t* zeroTerminated) {
    return TextFromWide(zeroTerminated, static_cast<std::size_t>(-1));
}

// The same for a text that is (or holds) a web address: a character that GBK cannot hold goes in
// as the percent-encoding of its UTF-8 bytes, as a browser puts such a character into an address
// ("ไ" gives "%E0%B9%84"), instead of "?", which would start the address's query. A surrogate
// without its other half stands for U+FFFD, as in a browser.
Text AddressTextFromWide(const wchar_t* wide, std::size_t length);

}  // namespace rh
