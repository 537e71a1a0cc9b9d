// upstream: the requests the service makes to file hosts: GET or HEAD over http or https, the
// host's redirects followed (at most a few), every connection's peer checked by the address guard
// before it is made, the body read piece by piece as the caller asks (back-pressure).
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ssl/context.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "address_guard.h"

namespace resolver {

// The largest piece of body handed over at once, and the largest head taken from a host.
inline constexpr std::size_t kUpstreamMaxPiece = 64 * 1024;
inline constexpr std::size_t kUpstreamMaxHead = 64 * 1024;

struct UpstreamRequest {
    std::string url;  // http or https
    // Sent as given, in order; Host, Connection, Content-Length and Transfer-Encoding are the
    // client's own and left out. Cookie and Authorization are dropped once a redirect leads to
    // another scheme, host or port, which they were not meant for.
    std::vector<std::pair<std::string, std::string>> headers;
    bool head = false;  // HEAD instead of GET
    int maxRedirects = 5;
    // Connecting (name lookup and TLS handshake included), the head, and each wait for body bytes.
    std::chrono::milliseconds timeout{30'000};
};

enum class UpstreamError {
    None,
    BadAddress,        // not an http or https address (the first one or a redirect's)
    BadRequest,        // a header that cannot be sent, or Read called out of turn
    Refused,           // every address of the host is internal: no connection was made
    NoAddress,         // the host name has no address
    Connect,           // no connection to any permitted address
    Tls,               // the handshake failed or the certificate does not verify for the host
    Timeout,           // a step took longer than the request's timeout
    Protocol,          // the host's answer is not HTTP/1.x as it should be
    TooManyRedirects,  // more redirects than the request's maxRedirects
    EndedEarly,        // the connection ended before the body was complete
    Cancelled,         // Cancel() was called
    TooLarge,          // the head is larger than kUpstreamMaxHead
};

struct UpstreamFailure {
    UpstreamError error = UpstreamError::None;
    std::string message;  // one plain sentence, naming the host (never the whole address)

    explicit operator bool() const { return error != UpstreamError::None; }
};

struct UpstreamHead {
    int status = 0;
    std::vector<std::pair<std::string, std::string>> fields;  // as the host sent them, in order
    std::string url;                                          // after redirects
    std::optional<std::uint64_t> contentLength;

    // The first value of the field, the name compared without case; empty when absent. This
    // function can't fail.
    std::string Field(std::string_view name) const;
};

// The address a reference gives (absolute or relative, RFC 3986: a Location field, a line of a
// playlist) against the address it came from, without its fragment. The result is checked like
// any address when it is requested. This function can't fail.
std::string ResolveLocation(std::string_view base, std::string_view location);

// What fetches share: the address policy and the TLS context. Must outlive every fetch.
class UpstreamContext {
  public:
    // TLS 1.2 or later, peers verified against OpenSSL's default paths (which honour
    // SSL_CERT_FILE and SSL_CERT_DIR). Without usable paths every https fetch fails with Tls.
    // Throws boost::system::system_error only when OpenSSL cannot make a context at all.
    explicit UpstreamContext(AddressPolicy policy);

    const AddressPolicy& policy() const { return policy_; }
    boost::asio::ssl::context& tls() { return tls_; }

  private:
    AddressPolicy policy_;
    boost::asio::ssl::context tls_;
};

using UpstreamHeadHandler = std::function<void(const UpstreamFailure&, const UpstreamHead&)>;
using UpstreamReadHandler =
    std::function<void(const UpstreamFailure&, std::string_view data, bool end)>;

// One request to a host. Every callback runs on the fetch's executor, never inside the call
// that asked for it. The executor must run one handler at a time (a strand, or an io_context run
// by one thread). A callback should not own the fetch, so that an executor shut down with work
// pending leaves no cycle behind.
class UpstreamFetch {
  public:
    virtual ~UpstreamFetch() = default;

    // Reads the next piece of the body, at most `max` bytes (1 to kUpstreamMaxPiece; other
    // values are brought into that range), and calls `done` with it. `data` stays valid until the
    // next Read. `end` is true once the body is complete (Content-Length reached, the last chunk,
    // or the close that ends a body without length), with the last piece or after it; further
    // reads give end again. On failure `done` gets EndedEarly (the host closed too soon),
    // Timeout (no byte within the timeout), Protocol, Cancelled, or the failure the head got;
    // BadRequest when called before the head came or while a read is pending.
    virtual void Read(std::size_t max, UpstreamReadHandler done) = 0;

    // Ends everything at once: closes the connection; a pending callback gets Cancelled, and
    // so does every later Read. Safe from any thread, once or more. This function can't fail.
    virtual void Cancel() = 0;
};

// Starts the request. `onHead` runs once with the final head after redirects, or with a failure
// (then the head is empty). No connection is made to an address the context's policy refuses,
// and no proxy is used. Never fails itself: every failure comes through `onHead`.
std::shared_ptr<UpstreamFetch> StartFetch(boost::asio::any_io_executor executor,
                                          UpstreamContext& context, UpstreamRequest request,
                                          UpstreamHeadHandler onHead);

}  // namespace resolver
