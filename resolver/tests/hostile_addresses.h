// Addresses a page may hand the service, chosen to break a careless link writer: the carving's
// separators (";", '="', '">'), quotes and brackets, "&" and references, white space and control
// characters, non-ASCII text and great length.
#pragma once

#include <cctype>
#include <string>
#include <vector>

namespace resolver::test {

inline std::vector<std::string> HostileAddresses() {
    return {
        "http://m.test/a;b.mp4",
        "http://m.test/v.mp4?a=1&b=2&amp;c=3",
        "http://m.test/\"><script>alert(1)</script>.mp4",
        "http://m.test/x=\"y\"/z.flv",
        "http://m.test/a b\tc\nd\x01.mp4",
        "http://m.test/\xE0\xB9\x84\xE0\xB8\x97\xE0\xB8\xA2/\xED\x95\x9C.mp4",
        "http://m.test/\xE8\xA7\x86\xE9\xA2\x91.m3u8?\xE2\x82\xAC=\xC2\xA0",
        "http://m.test/a&lt;b&gt;c&quot;d&nbsp;e.mp4",
        "http://m.test/?q=" + std::string(3000, 'q') + ";&\"",
        "http://m.test/trail=\"",
        "http://m.test/back\\slash/'single'/%41.mp4#frag",
    };
}

// The text with every %XX turned back into its byte.
inline std::string PercentDecoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() &&
            std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace resolver::test
