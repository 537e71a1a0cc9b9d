// address_guard: parsing of web addresses and address ranges, and the internal-range policy.
#include "address_guard.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <memory>

#include "utf8.h"

namespace resolver {
namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

std::array<std::uint8_t, 16> MappedV4(const std::uint8_t* v4) {
    std::array<std::uint8_t, 16> bytes{};
    bytes[10] = 0xff;
    bytes[11] = 0xff;
    std::memcpy(bytes.data() + 12, v4, 4);
    return bytes;
}

bool IsMappedV4(const std::array<std::uint8_t, 16>& a) {
    static constexpr std::uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(a.data(), kPrefix, 12) == 0;
}

}  // namespace

std::optional<WebAddress> ParseWebAddress(std::string_view address, std::string* why) {
    auto refuse = [why](const char* reason) -> std::optional<WebAddress> {
        if (why != nullptr) {
            *why = reason;
        }
        return std::nullopt;
    };
    if (address.empty()) {
        return refuse("No address was given: type the address of a video page.");
    }
    if (address.size() > kMaxAddressLength) {
        return refuse("The address is longer than 2,083 characters.");
    }
    for (unsigned char c : address) {
        if (c < 0x20 || c == 0x7f) {
            return refuse("The address holds a control character.");
        }
    }
    if (!IsValidUtf8(address)) {
        return refuse("The address is not valid UTF-8 text.");
    }
    const std::size_t colon = address.find(':');
    const std::string scheme =
        Lower(address.substr(0, colon == std::string_view::npos ? 0 : colon));
    if (colon == std::string_view::npos || (scheme != "http" && scheme != "https")) {
        return refuse("Only http and https addresses can be resolved.");
    }
    if (address.substr(colon + 1, 2) != "//") {
        return refuse("The address names no host.");
    }
    const std::string_view rest = address.substr(colon + 3);
    const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    if (authority.find_first_of("@\\ ") != std::string_view::npos) {
        return refuse(
            "Addresses with a user name, a backslash or a space before the path are not taken.");
    }
    WebAddress parsed;
    parsed.scheme = scheme;
    parsed.port = scheme == "https" ? 443 : 80;
    std::string_view host = authority;
    std::string_view port;
    if (host.starts_with('[')) {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos) {
            return refuse("The address's host is not well formed.");
        }
        const std::string_view after = host.substr(close + 1);
        if (!after.empty() && !after.starts_with(':')) {
            return refuse("The address's host is not well formed.");
        }
        port = after.empty() ? after : after.substr(1);
        host = host.substr(1, close - 1);
    } else if (const std::size_t c = host.rfind(':'); c != std::string_view::npos) {
        port = host.substr(c + 1);
        host = host.substr(0, c);
    }
    if (host.empty()) {
        return refuse("The address names no host.");
    }
    if (!port.empty()) {
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (ec != std::errc() || end != port.data() + port.size() || value == 0 || value > 65535) {
            return refuse("The address's port is not a number from 1 to 65535.");
        }
        parsed.port = static_cast<std::uint16_t>(value);
    }
    parsed.host = Lower(host);
    return parsed;
}

std::optional<std::array<std::uint8_t, 16>> ParseIpAddress(std::string_view text) {
    const std::string s(text);
    std::uint8_t v4[4];
    if (inet_pton(AF_INET, s.c_str(), v4) == 1) {
        return MappedV4(v4);
    }
    std::array<std::uint8_t, 16> v6{};
    if (inet_pton(AF_INET6, s.c_str(), v6.data()) == 1) {
        return v6;
    }
    return std::nullopt;
}

std::optional<AddressRange> ParseAddressRange(std::string_view text) {
    const std::size_t slash = text.find('/');
    const auto address = ParseIpAddress(text.substr(0, slash));
    if (!address) {
        return std::nullopt;
    }
    const bool v4 =
        IsMappedV4(*address) && text.substr(0, slash).find(':') == std::string_view::npos;
    const int width = v4 ? 32 : 128;
    int prefix = width;
    if (slash != std::string_view::npos) {
        const std::string_view digits = text.substr(slash + 1);
        const auto [end, ec] =
            std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
        if (ec != std::errc() || end != digits.data() + digits.size() || prefix < 0 ||
            prefix > width) {
            return std::nullopt;
        }
    }
    AddressRange range;
    range.bytes = *address;
    range.prefix = v4 ? prefix + 96 : prefix;
    range.text = std::string(text);
    // Bits past the prefix are cleared, so "10.1.2.3/8" is 10.0.0.0/8.
    for (int bit = range.prefix; bit < 128; ++bit) {
        range.bytes[bit / 8] &= static_cast<std::uint8_t>(~(0x80u >> (bit % 8)));
    }
    return range;
}

bool AddressRange::Contains(const std::array<std::uint8_t, 16>& address) const {
    const int whole = prefix / 8;
    if (std::memcmp(bytes.data(), address.data(), whole) != 0) {
        return false;
    }
    const int rest = prefix % 8;
    if (rest == 0) {
        return true;
    }
    const auto mask = static_cast<std::uint8_t>(0xff00u >> rest);
    return (bytes[whole] & mask) == (address[whole] & mask);
}

const std::vector<AddressRange>& InternalRanges() {
    static const std::vector<AddressRange> ranges = [] {
        std::vector<AddressRange> list;
        for (const char* text : {
                 "0.0.0.0/8",      "10.0.0.0/8",     "100.64.0.0/10", "127.0.0.0/8",
                 "169.254.0.0/16", "172.16.0.0/12",  "192.0.0.0/24",  "192.0.2.0/24",
                 "192.88.99.0/24", "192.168.0.0/16", "198.18.0.0/15", "198.51.100.0/24",
                 "203.0.113.0/24", "224.0.0.0/4",    "240.0.0.0/4",   "::/96",
                 "64:ff9b::/96",   "64:ff9b:1::/48", "100::/64",      "2001::/23",
                 "2001:db8::/32",  "2002::/16",      "fc00::/7",      "fe80::/10",
                 "fec0::/10",      "ff00::/8",
             }) {
            list.push_back(*ParseAddressRange(text));
        }
        return list;
    }();
    return ranges;
}

AddressPolicy::AddressPolicy(bool allowPrivate, std::vector<AddressRange> allowed)
    : allowPrivate_(allowPrivate), allowed_(std::move(allowed)) {}

bool AddressPolicy::Permits(const std::array<std::uint8_t, 16>& address) const {
    if (allowPrivate_) {
        return true;
    }
    for (const AddressRange& range : allowed_) {
        if (range.Contains(address)) {
            return true;
        }
    }
    for (const AddressRange& range : InternalRanges()) {
        if (range.Contains(address)) {
            return false;
        }
    }
    return true;
}

std::string AddressPolicy::CheckHost(const std::string& host) const {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return "The host " + host + " has no address.";
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, &freeaddrinfo);
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        std::array<std::uint8_t, 16> bytes{};
        if (a->ai_family == AF_INET) {
            bytes = MappedV4(reinterpret_cast<const std::uint8_t*>(
                &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr));
        } else if (a->ai_family == AF_INET6) {
            std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr,
                        16);
        } else {
            continue;
        }
        if (!Permits(bytes)) {
            return "The host " + host + " is an internal address (" + FormatIpAddress(bytes) +
                   "); the service does not resolve addresses inside its own network.";
        }
    }
    return {};
}

std::string FormatIpAddress(const std::array<std::uint8_t, 16>& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (IsMappedV4(address)) {
        inet_ntop(AF_INET, address.data() + 12, text, sizeof text);
    } else {
        inet_ntop(AF_INET6, address.data(), text, sizeof text);
    }
    return text;
}

namespace {

std::string_view TrimSpaces(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// One forwarded entry: an address, "[v6]" or "[v6]:port", or "a.b.c.d:port" as some proxies
// write it.
std::optional<std::array<std::uint8_t, 16>> ForwardedAddress(std::string_view entry) {
    entry = TrimSpaces(entry);
    if (entry.starts_with('[')) {
        const std::size_t close = entry.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        return ParseIpAddress(entry.substr(1, close - 1));
    }
    if (std::count(entry.begin(), entry.end(), ':') == 1) {
        entry = entry.substr(0, entry.find(':'));
    }
    return ParseIpAddress(entry);
}

bool Trusted(const std::vector<AddressRange>& trusted, const std::array<std::uint8_t, 16>& a) {
    return std::any_of(trusted.begin(), trusted.end(),
                       [&](const AddressRange& range) { return range.Contains(a); });
}

}  // namespace

std::string ClientAddress(const std::string& peer, const std::vector<AddressRange>& trusted,
                          std::string_view forwardedFor, std::string_view realIp) {
    const auto peerAddress = ParseIpAddress(peer);
    if (!peerAddress || !Trusted(trusted, *peerAddress)) {
        return peer;
    }
    if (!TrimSpaces(forwardedFor).empty()) {
        std::string hop = peer;
        for (std::size_t end = forwardedFor.size();;) {
            const std::size_t comma = forwardedFor.rfind(',', end == 0 ? 0 : end - 1);
            const std::size_t from =
                comma == std::string_view::npos || comma >= end ? 0 : comma + 1;
            const auto address = ForwardedAddress(forwardedFor.substr(from, end - from));
            if (!address) {
                return hop;
            }
            if (!Trusted(trusted, *address)) {
                return FormatIpAddress(*address);
            }
            hop = FormatIpAddress(*address);
            if (from == 0) {
                return hop;
            }
            end = from - 1;
        }
    }
    if (const auto real = ForwardedAddress(realIp)) {
        return FormatIpAddress(*real);
    }
    return peer;
}

}  // namespace resolver
