// The resolver's link writer against the program's carving: for any address bytes, the link it
// writes carves back to exactly the address it says it wrote, and that address holds nothing the
// carving or a browser would change (no ";", quote, bracket, space, control or non-ASCII byte).
#include <cstdint>
#include <string>

#include "app/link_rules.h"
#include "fuzz_support.h"
#include "resolver/page_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string address(fuzz::CutAtZero(data, size));
    const std::string written = resolver::EncodeAddressForLink(address);
    const std::string expected = resolver::LinkAddress(address);
    for (char ch : expected) {
        const auto c = static_cast<unsigned char>(ch);
        FUZZ_CHECK(c > 0x20 && c < 0x7F && ch != ';' && ch != '"' && ch != '<' && ch != '>');
    }
    // A browser serializes the href again as written: only "&" needs "&amp;", and nothing else
    // in it needs a reference, so the markup it hands the program is this.
    const std::string markup = "<a href=\"" + written + "\">v.mp4</a>";
    const auto carved = rh::ExtractLinkAddress(markup);
    FUZZ_CHECK(address.empty() ? !carved || carved->empty() : carved.has_value());
    if (carved) {
        FUZZ_CHECK(std::string(carved->begin(), carved->end()) == expected);
    }
    return 0;
}
