// address_guard: which video-page addresses the service takes, and which network ranges are
// internal, so that the service is never a door into the network it runs in.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace resolver {

// The longest address taken, as the old browsers' limit.
inline constexpr std::size_t kMaxAddressLength = 2083;

// An http or https address split into what the guard needs.
struct WebAddress {
    std::string scheme;  // "http" or "https", lower case
    std::string host;    // as written, brackets of an IPv6 literal removed, lower case
    std::uint16_t port = 0;
};

// Parses an address the service is asked to resolve. Returns nullopt and sets `why` (a sentence
// for the user) when the address is not an http or https address the service takes: another
// scheme, no host, a bad port, a user name, a backslash or a space before the path, control
// characters, text that is not UTF-8, or more than kMaxAddressLength
// characters.
std::optional<WebAddress> ParseWebAddress(std::string_view address, std::string* why);

// A range of addresses, IPv4 or IPv6 (IPv4 ranges are kept as IPv4-mapped IPv6 ranges).
struct AddressRange {
    std::array<std::uint8_t, 16> bytes{};
    int prefix = 0;    // in bits, of the 128-bit form
    std::string text;  // as written

    bool Contains(const std::array<std::uint8_t, 16>& address) const;
};

// Parses "A.B.C.D/N", "X::Y/N" or a single address (a range of one). Returns nullopt when the
// text is none of these or the prefix is out of range.
std::optional<AddressRange> ParseAddressRange(std::string_view text);

// Parses one IPv4 or IPv6 address into its 128-bit form (IPv4 as ::ffff:a.b.c.d). Returns
// nullopt when the text is not an address.
std::optional<std::array<std::uint8_t, 16>> ParseIpAddress(std::string_view text);

// The ranges that are not the public internet: loopback, private, shared, link-local,
// documentation, benchmarking, multicast, reserved, and their IPv6 counterparts (IPv4 inside
// IPv6 forms is covered by the mapped form). The worker's connection guard gets the same list.
const std::vector<AddressRange>& InternalRanges();

// Decides about addresses: internal ones are refused unless allowed.
class AddressPolicy {
  public:
    // allowPrivate: every address passes. allowed: ranges let through although internal.
    AddressPolicy(bool allowPrivate, std::vector<AddressRange> allowed);

    // True when a connection to this address may be made. This function can't fail.
    bool Permits(const std::array<std::uint8_t, 16>& address) const;

    // Looks the host up and checks every address it has. Returns an empty string when all pass,
    // else a sentence saying which address was refused or that the name has no address.
    std::string CheckHost(const std::string& host) const;

    const std::vector<AddressRange>& allowed() const { return allowed_; }

  private:
    bool allowPrivate_;
    std::vector<AddressRange> allowed_;
};

// The address in its usual text form (IPv4 dotted for mapped addresses).
std::string FormatIpAddress(const std::array<std::uint8_t, 16>& address);

// The address of the client a request comes from, for the rate limit and the log. It is the
// connection's own address (peer) unless that is a trusted proxy; then it is taken from
// X-Forwarded-For (all its values, joined with commas): walking from the right, past the entries
// that are trusted proxies themselves, the first other entry; an entry that is not an address
// ends the walk at the last trusted hop, and when every entry is trusted the left-most is the
// client. Without X-Forwarded-For, X-Real-IP. Only the right part of the list is written by
// proxies we trust, so a client cannot choose its own address by sending these headers. This
// function can't fail: with nothing usable in the headers the peer is the client.
std::string ClientAddress(const std::string& peer, const std::vector<AddressRange>& trusted,
                          std::string_view forwardedFor, std::string_view realIp);

}  // namespace resolver
