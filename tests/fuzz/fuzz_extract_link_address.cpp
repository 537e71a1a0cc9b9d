// ExtractLinkAddress and IsVideoLink against references built on plain substring search: with
// every trail byte masked out, a search for the ASCII separators and markers finds exactly the
// matches at character starts. Character references start with "&", never a trail byte, so they
// are searched for in the bytes as they are.
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "app/link_rules.h"
#include "fuzz_support.h"

namespace {

std::optional<std::string> ReferenceAddress(std::string_view text) {
    const std::string masked = fuzz::MaskTrailBytes(text);
    const std::string_view tag = std::string_view(masked).substr(0, masked.find("\">"));
    const std::size_t open = tag.find("=\"");
    if (open == std::string_view::npos || open + 2 == tag.size()) {
        return std::nullopt;  // no value to carve
    }
    const std::size_t from = open + 2;
    const std::size_t next = tag.find("=\"", from);
    const std::size_t to = next == std::string_view::npos ? tag.size() : next;
    // "&" is never a trail byte, so a reference is found by plain search in the bytes themselves.
    // A reference stands for what it means in an address; then the semicolons go that are not
    // trail bytes of the decoded value.
    static constexpr std::pair<std::string_view, std::string_view> kReferences[] = {
        {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&nbsp;", "%C2%A0"}};
    const std::string_view value = text.substr(0, to);
    std::string decoded;
    for (std::size_t i = from; i < to;) {
        bool replaced = false;
        for (const auto& [reference, meaning] : kReferences) {
            if (value.substr(i).starts_with(reference)) {
                decoded += meaning;
                i += reference.size();
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            decoded += text[i];
            ++i;
        }
    }
    const std::string maskedValue = fuzz::MaskTrailBytes(decoded);
    std::string address;
    for (std::size_t i = 0; i < decoded.size(); ++i) {
        if (maskedValue[i] != ';') {
            address += decoded[i];
        }
    }
    return address;
}

bool ReferenceIsVideoLink(std::string_view text) {
    const std::string masked = fuzz::MaskTrailBytes(text);
    for (const char* marker : {".flv", ".mp4", ".m3u8"}) {
        if (masked.find(marker) != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::CutAtZero(data, size);
    const std::optional<rh::Text> address = rh::ExtractLinkAddress(text);
    const std::optional<std::string> expected = ReferenceAddress(text);
    FUZZ_CHECK(address.has_value() == expected.has_value());
    if (address) {
        FUZZ_CHECK(rh::View(*address) == *expected);
        FUZZ_CHECK(address->size() <= text.size());
    }
    FUZZ_CHECK(rh::IsVideoLink(text) == ReferenceIsVideoLink(text));
    return 0;
}
