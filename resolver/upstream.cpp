// upstream: the guarded HTTP(S) client, Beast's parser over Asio's TCP and TLS streams.
#include "upstream.h"

#include <openssl/ssl.h>

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <cctype>
#include <cstdio>

namespace resolver {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

// An http(s) address split for a request.
struct Target {
    std::string scheme;
    std::string host;  // without brackets
    std::uint16_t port = 0;
    std::string hostField;  // the Host field: brackets for IPv6, the port unless the default
    std::string path;       // the request target: path and query, without the fragment

    std::string Origin() const { return scheme + "://" + hostField; }
};

// Bytes that may not stand raw in a request line are percent-encoded, as browsers do: pages
// write file addresses with spaces and non-ASCII text.
std::string EncodedTarget(std::string_view text) {
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7f ||
            std::string_view("\"<>\\^`{|}").find(ch) != std::string_view::npos) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        } else {
            out += ch;
        }
    }
    return out;
}

// Returns nullopt and sets `why` when the address is not one the client fetches.
std::optional<Target> ParseTarget(std::string_view url, std::string* why) {
    const std::size_t slashes = url.find("://");
    const std::size_t pathFrom =
        slashes == std::string_view::npos ? url.size() : url.find_first_of("/?#", slashes + 3);
    // The guard's parser checks the scheme and the authority; the path may be longer than the
    // addresses people type (file hosts sign their addresses).
    const auto address = ParseWebAddress(url.substr(0, pathFrom), why);
    if (!address) {
        return std::nullopt;
    }
    std::string_view rest = pathFrom == std::string_view::npos ? "" : url.substr(pathFrom);
    rest = rest.substr(0, rest.find('#'));
    if (std::any_of(rest.begin(), rest.end(),
                    [](unsigned char c) { return c < 0x20 || c == 0x7f; })) {
        *why = "The address holds a control character.";
        return std::nullopt;
    }
    Target target;
    target.scheme = address->scheme;
    target.host = address->host;
    target.port = address->port;
    target.hostField =
        address->host.find(':') == std::string::npos ? address->host : "[" + address->host + "]";
    if (address->port != (address->scheme == "https" ? 443 : 80)) {
        target.hostField += ":" + std::to_string(address->port);
    }
    target.path = EncodedTarget(rest);
    if (!target.path.starts_with('/')) {
        target.path.insert(0, "/");
    }
    return target;
}

// RFC 3986's remove_dot_segments, for a path that starts with "/".
std::string WithoutDotSegments(std::string_view path) {
    std::vector<std::string_view> kept;
    for (std::size_t from = 1;;) {
        const std::size_t slash = path.find('/', from);
        const bool last = slash == std::string_view::npos;
        const std::string_view segment = path.substr(from, last ? path.npos : slash - from);
        if (segment == "..") {
            if (!kept.empty()) {
                kept.pop_back();
            }
        }
        if (segment == "." || segment == "..") {
            if (last) {
                kept.emplace_back();
            }
        } else {
            kept.push_back(segment);
        }
        if (last) {
            break;
        }
        from = slash + 1;
    }
    std::string out;
    for (const std::string_view segment : kept) {
        out += '/';
        out += segment;
    }
    return out.empty() ? "/" : out;
}

// A path followed by a query: the path's dot segments removed.
std::string Normalized(std::string_view pathAndQuery) {
    const std::size_t query = pathAndQuery.find('?');
    return WithoutDotSegments(pathAndQuery.substr(0, query)) +
           std::string(query == std::string_view::npos ? "" : pathAndQuery.substr(query));
}

bool HasScheme(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 ||
        !std::isalpha(static_cast<unsigned char>(text[0]))) {
        return false;
    }
    return std::all_of(
        text.begin(), text.begin() + static_cast<std::ptrdiff_t>(colon),
        [](unsigned char c) { return std::isalnum(c) || c == '+' || c == '-' || c == '.'; });
}

}  // namespace

std::string ResolveLocation(std::string_view base, std::string_view location) {
    while (!location.empty() && (location.front() == ' ' || location.front() == '\t')) {
        location.remove_prefix(1);
    }
    while (!location.empty() && (location.back() == ' ' || location.back() == '\t')) {
        location.remove_suffix(1);
    }
    location = location.substr(0, location.find('#'));
    if (HasScheme(location)) {
        return std::string(location);
    }
    const std::size_t schemeEnd = base.find("://");
    const std::size_t pathFrom = schemeEnd == std::string_view::npos
                                     ? base.size()
                                     : base.find_first_of("/?#", schemeEnd + 3);
    const std::string_view scheme = base.substr(0, schemeEnd);
    const std::string_view origin = base.substr(0, pathFrom);
    std::string_view basePath = pathFrom == std::string_view::npos ? "" : base.substr(pathFrom);
    basePath = basePath.substr(0, basePath.find('#'));
    if (location.starts_with("//")) {
        return std::string(scheme) + ":" + std::string(location);
    }
    if (location.empty()) {
        return std::string(origin) + std::string(basePath);
    }
    basePath = basePath.substr(0, basePath.find('?'));
    if (location.starts_with('?')) {
        return std::string(origin) + (basePath.empty() ? "/" : std::string(basePath)) +
               std::string(location);
    }
    if (location.starts_with('/')) {
        return std::string(origin) + Normalized(location);
    }
    const std::size_t lastSlash = basePath.rfind('/');
    const std::string directory =
        lastSlash == std::string_view::npos ? "/" : std::string(basePath.substr(0, lastSlash + 1));
    return std::string(origin) + Normalized(directory + std::string(location));
}

namespace {

// A header name is a token; a value may not break the request's lines.
bool SendableHeader(std::string_view name, std::string_view value) {
    const auto tokenChar = [](unsigned char c) {
        return std::isalnum(c) || std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) !=
                                      std::string_view::npos;
    };
    return !name.empty() && std::all_of(name.begin(), name.end(), tokenChar) &&
           value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool ClientOwnField(std::string_view name) {
    return beast::iequals(name, "host") || beast::iequals(name, "connection") ||
           beast::iequals(name, "content-length") || beast::iequals(name, "transfer-encoding");
}

bool CredentialField(std::string_view name) {
    return beast::iequals(name, "cookie") || beast::iequals(name, "authorization") ||
           beast::iequals(name, "proxy-authorization");
}

std::array<std::uint8_t, 16> AddressBytes(const asio::ip::address& address) {
    if (address.is_v4()) {
        return asio::ip::make_address_v6(asio::ip::v4_mapped, address.to_v4()).to_bytes();
    }
    return address.to_v6().to_bytes();
}

bool IsRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

using TlsStream = asio::ssl::stream<tcp::socket>;
using Parser = http::response_parser<http::buffer_body>;

class Fetch final : public UpstreamFetch, public std::enable_shared_from_this<Fetch> {
  public:
    Fetch(asio::any_io_executor executor, UpstreamContext& context, UpstreamRequest request,
          UpstreamHeadHandler onHead)
        : executor_(executor),
          context_(context),
          request_(std::move(request)),
          onHead_(std::move(onHead)),
          resolver_(executor),
          deadline_(executor),
          buffer_(std::max(kUpstreamMaxHead, kUpstreamMaxPiece)) {}

    void Start() {
        for (const auto& [name, value] : request_.headers) {
            if (!SendableHeader(name, value)) {
                return Fail(UpstreamError::BadRequest,
                            "A request header has a name that is not a token or a line break "
                            "in its value.");
            }
        }
        std::erase_if(request_.headers,
                      [](const auto& field) { return ClientOwnField(field.first); });
        StartHop();
    }

    void Read(std::size_t max, UpstreamReadHandler done) override {
        asio::dispatch(executor_,
                       [self = shared_from_this(), max, done = std::move(done)]() mutable {
                           self->StartRead(max, std::move(done));
                       });
    }

    void Cancel() override {
        asio::dispatch(executor_, [self = shared_from_this()] {
            if (self->stage_ != Stage::Failed) {
                self->Fail(UpstreamError::Cancelled, "The request was cancelled.");
            }
        });
    }

  private:
    enum class Stage { Connecting, Head, Ready, Reading, Ended, Failed };

    // A completion handler that keeps the fetch alive and does nothing once the fetch failed
    // (the failure was already delivered; the operation ends only because of it).
    template <typename... Args>
    auto Then(void (Fetch::*step)(Args...)) {
        return [self = shared_from_this(), step](auto... args) {
            if (self->stage_ != Stage::Failed) {
                (self.get()->*step)(std::move(args)...);
            }
        };
    }

    template <typename F>
    void WithStream(F&& f) {
        if (tls_) {
            f(*tls_);
        } else {
            f(*plain_);
        }
    }

    tcp::socket& Socket() { return tls_ ? tls_->next_layer() : *plain_; }

    // One deadline at a time; a wait that a newer Arm or Disarm replaced does nothing, even when
    // it had already expired.
    void Arm(std::string what) {
        ++armed_;
        deadline_.expires_after(request_.timeout);
        deadline_.async_wait([self = shared_from_this(), armed = armed_,
                              what = std::move(what)](const error_code& ec) {
            if (!ec && armed == self->armed_ && self->stage_ != Stage::Failed) {
                self->Fail(UpstreamError::Timeout, what);
            }
        });
    }

    void Disarm() {
        ++armed_;
        deadline_.cancel();
    }

    void Close() {
        error_code ignored;
        if (tls_ || plain_) {
            Socket().close(ignored);
        }
    }

    // Ends the fetch and tells whoever waits. Pending operations complete on their own, with
    // errors that Then() drops.
    void Fail(UpstreamError error, std::string message) {
        stage_ = Stage::Failed;
        failure_ = {error, std::move(message)};
        Disarm();
        resolver_.cancel();
        Close();
        if (onHead_) {
            asio::post(executor_, [self = shared_from_this(), done = std::exchange(onHead_, {})] {
                done(self->failure_, UpstreamHead{});
            });
        } else if (readDone_) {
            asio::post(executor_, [self = shared_from_this(), done = std::exchange(readDone_, {})] {
                done(self->failure_, {}, false);
            });
        }
    }

    void StartHop() {
        stage_ = Stage::Connecting;
        std::string why;
        auto target = ParseTarget(request_.url, &why);
        if (!target) {
            if (redirects_ == 0) {
                return Fail(UpstreamError::BadAddress, why);
            }
            why[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(why[0])));
            return Fail(UpstreamError::BadAddress,
                        "A redirect led to an address that is not taken: " + why);
        }
        target_ = std::move(*target);
        Arm(target_.host + " could not be reached within " +
            std::to_string(request_.timeout.count()) + " ms.");
        error_code ec;
        const auto literal = asio::ip::make_address(target_.host, ec);
        if (!ec) {
            return Connect({tcp::endpoint(literal, target_.port)});
        }
        resolver_.async_resolve(target_.host, std::to_string(target_.port),
                                tcp::resolver::numeric_service, Then(&Fetch::OnResolved));
    }

    void OnResolved(error_code ec, tcp::resolver::results_type results) {
        std::vector<tcp::endpoint> endpoints;
        if (!ec) {
            for (const auto& entry : results) {
                endpoints.push_back(entry.endpoint());
            }
        }
        Connect(std::move(endpoints));
    }

    // Connects to the permitted ones of the host's addresses, in order: exactly the addresses
    // checked, so a name that changes its address in between cannot slip past the guard.
    void Connect(std::vector<tcp::endpoint> endpoints) {
        std::string refused;
        std::erase_if(endpoints, [&](const tcp::endpoint& endpoint) {
            const auto bytes = AddressBytes(endpoint.address());
            if (context_.policy().Permits(bytes)) {
                return false;
            }
            if (refused.empty()) {
                refused = FormatIpAddress(bytes);
            }
            return true;
        });
        if (endpoints.empty()) {
            if (refused.empty()) {
                return Fail(UpstreamError::NoAddress,
                            "The host " + target_.host + " has no address.");
            }
            return Fail(UpstreamError::Refused,
                        "The host " + target_.host + " is an internal address (" + refused +
                            "); the service does not connect inside its own network.");
        }
        if (target_.scheme == "https") {
            tls_.emplace(executor_, context_.tls());
            tls_->set_verify_mode(asio::ssl::verify_peer);
            tls_->set_verify_callback(asio::ssl::host_name_verification(target_.host));
            error_code notAddress;
            asio::ip::make_address(target_.host, notAddress);
            // Server Name Indication carries names only, never addresses.
            if (notAddress &&
                SSL_set_tlsext_host_name(tls_->native_handle(), target_.host.c_str()) != 1) {
                return Fail(UpstreamError::Tls,
                            "The host name " + target_.host + " cannot be sent in TLS.");
            }
        } else {
            plain_.emplace(executor_);
        }
        asio::async_connect(Socket(), endpoints, Then(&Fetch::OnConnected));
    }

    void OnConnected(error_code ec, tcp::endpoint) {
        if (ec) {
            return Fail(UpstreamError::Connect, "No connection could be made to " + target_.host +
                                                    ": " + ec.message() + ".");
        }
        if (tls_) {
            return tls_->async_handshake(asio::ssl::stream_base::client, Then(&Fetch::OnHandshake));
        }
        SendRequest();
    }

    void OnHandshake(error_code ec) {
        if (ec) {
            return Fail(UpstreamError::Tls, "The TLS handshake with " + target_.host +
                                                " failed: " + ec.message() + ".");
        }
        SendRequest();
    }

    void SendRequest() {
        stage_ = Stage::Head;
        Arm(target_.host + " sent no answer within " + std::to_string(request_.timeout.count()) +
            " ms.");
        message_ = {};
        message_.method(request_.head ? http::verb::head : http::verb::get);
        message_.target(target_.path);
        message_.version(11);
        message_.set(http::field::host, target_.hostField);
        for (const auto& [name, value] : request_.headers) {
            message_.insert(name, value);
        }
        message_.set(http::field::connection, "close");
        WithStream([this](auto& stream) {
            http::async_write(stream, message_, Then(&Fetch::OnRequestSent));
        });
    }

    void OnRequestSent(error_code ec, std::size_t) {
        if (ec) {
            return Fail(UpstreamError::Connect, "The request could not be sent to " + target_.host +
                                                    ": " + ec.message() + ".");
        }
        buffer_.clear();
        ReadHead();
    }

    void ReadHead() {
        parser_.emplace();
        parser_->header_limit(kUpstreamMaxHead);
        parser_->body_limit(boost::none);  // files are gigabytes; memory is bounded by the pieces
        parser_->skip(request_.head);
        WithStream([this](auto& stream) {
            http::async_read_header(stream, buffer_, *parser_, Then(&Fetch::OnHead));
        });
    }

    void OnHead(error_code ec, std::size_t) {
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
            return Fail(UpstreamError::TooLarge, target_.host + " sent a head larger than 64 KiB.");
        }
        if (ec == http::error::end_of_stream || ec == asio::ssl::error::stream_truncated ||
            ec == http::error::partial_message || ec == asio::error::connection_reset) {
            return Fail(UpstreamError::Protocol,
                        target_.host + " closed the connection without an answer.");
        }
        if (ec) {
            return Fail(UpstreamError::Protocol,
                        target_.host + " sent an answer that is not HTTP: " + ec.message() + ".");
        }
        const auto& response = parser_->get();
        const int status = response.result_int();
        if (status == 101) {
            return Fail(UpstreamError::Protocol, target_.host + " switched protocols unasked.");
        }
        if (status >= 100 && status < 200) {
            return ReadHead();  // an interim answer; the final one follows within the same time
        }
        const auto location = response[http::field::location];
        if (IsRedirect(status) && !location.empty()) {
            return Redirect(location);
        }
        Disarm();
        head_.status = status;
        for (const auto& field : response) {
            head_.fields.emplace_back(field.name_string(), field.value());
        }
        head_.url = request_.url;
        if (const auto length = parser_->content_length()) {
            head_.contentLength = *length;
        }
        parser_->eager(true);
        stage_ = parser_->is_done() ? Stage::Ended : Stage::Ready;
        if (stage_ == Stage::Ended) {
            Close();
        }
        asio::post(executor_, [self = shared_from_this(), done = std::exchange(onHead_, {})] {
            done({}, self->head_);
        });
    }

    // A new connection for every hop, checked like the first; the method stays (GET or HEAD).
    void Redirect(std::string_view location) {
        if (redirects_ >= std::max(request_.maxRedirects, 0)) {
            return Fail(UpstreamError::TooManyRedirects,
                        "The host redirected more than " +
                            std::to_string(std::max(request_.maxRedirects, 0)) + " times.");
        }
        ++redirects_;
        Disarm();
        Close();
        tls_.reset();
        plain_.reset();
        const std::string from = target_.Origin();
        request_.url = ResolveLocation(request_.url, location);
        std::string why;
        const auto next = ParseTarget(request_.url, &why);
        if (next && next->Origin() != from) {
            std::erase_if(request_.headers,
                          [](const auto& field) { return CredentialField(field.first); });
        }
        StartHop();
    }

    void StartRead(std::size_t max, UpstreamReadHandler done) {
        if (stage_ == Stage::Ready) {
            readDone_ = std::move(done);
            stage_ = Stage::Reading;
            piece_.resize(std::clamp<std::size_t>(max, 1, kUpstreamMaxPiece));
            return ReadSome();
        }
        UpstreamFailure failure = failure_;
        if (stage_ != Stage::Failed && stage_ != Stage::Ended) {
            failure = {UpstreamError::BadRequest,
                       "A read was asked before the head came or while another was pending."};
        }
        asio::post(executor_, [failure, end = stage_ == Stage::Ended, done = std::move(done)] {
            done(failure, {}, end);
        });
    }

    void ReadSome() {
        // Room for a whole piece at each read: the buffer is only as large as the head needed,
        // and a read takes no more than the room there is (a kilobyte a read, else).
        buffer_.reserve(kUpstreamMaxPiece);
        auto& body = parser_->get().body();
        body.data = piece_.data();
        body.size = piece_.size();
        body.more = true;
        Arm(target_.host + " sent nothing for " + std::to_string(request_.timeout.count()) +
            " ms.");
        WithStream([this](auto& stream) {
            http::async_read_some(stream, buffer_, *parser_, Then(&Fetch::OnBody));
        });
    }

    void OnBody(error_code ec, std::size_t) {
        Disarm();
        if (ec == http::error::need_buffer) {
            ec = {};
        }
        if (ec == http::error::partial_message || ec == http::error::end_of_stream ||
            ec == asio::ssl::error::stream_truncated || ec == asio::error::connection_reset ||
            ec == asio::error::eof) {
            // Over TLS a close without close_notify is a cut, not the end of a body without length.
            return Fail(UpstreamError::EndedEarly,
                        target_.host + " ended the connection before the body was complete.");
        }
        if (ec) {
            return Fail(
                UpstreamError::Protocol,
                target_.host + " sent a body that is not well formed: " + ec.message() + ".");
        }
        const std::size_t got = piece_.size() - parser_->get().body().size;
        if (got == 0 && !parser_->is_done()) {
            return ReadSome();  // framing only (a chunk's size line)
        }
        stage_ = parser_->is_done() ? Stage::Ended : Stage::Ready;
        if (stage_ == Stage::Ended) {
            Close();
        }
        asio::post(executor_, [self = shared_from_this(), got, end = stage_ == Stage::Ended,
                               done = std::exchange(readDone_, {})] {
            done({}, std::string_view(self->piece_.data(), got), end);
        });
    }

    asio::any_io_executor executor_;
    UpstreamContext& context_;
    UpstreamRequest request_;  // its url is the current hop's
    UpstreamHeadHandler onHead_;
    UpstreamReadHandler readDone_;
    Stage stage_ = Stage::Connecting;
    UpstreamFailure failure_;
    UpstreamHead head_;
    Target target_;
    int redirects_ = 0;
    tcp::resolver resolver_;
    asio::steady_timer deadline_;
    unsigned armed_ = 0;
    std::optional<tcp::socket> plain_;
    std::optional<TlsStream> tls_;
    http::request<http::empty_body> message_;
    beast::flat_buffer buffer_;  // what came from the host and is not parsed yet
    std::optional<Parser> parser_;
    std::vector<char> piece_;  // the body piece handed to the caller
};

}  // namespace

std::string UpstreamHead::Field(std::string_view name) const {
    for (const auto& [fieldName, value] : fields) {
        if (beast::iequals(fieldName, name)) {
            return value;
        }
    }
    return {};
}

UpstreamContext::UpstreamContext(AddressPolicy policy)
    : policy_(std::move(policy)), tls_(asio::ssl::context::tls_client) {
    SSL_CTX_set_min_proto_version(tls_.native_handle(), TLS1_2_VERSION);
    error_code ignored;  // without default paths nothing verifies, which fails as it should
    tls_.set_default_verify_paths(ignored);
    tls_.set_verify_mode(asio::ssl::verify_peer, ignored);
}

std::shared_ptr<UpstreamFetch> StartFetch(asio::any_io_executor executor, UpstreamContext& context,
                                          UpstreamRequest request, UpstreamHeadHandler onHead) {
    auto fetch = std::make_shared<Fetch>(executor, context, std::move(request), std::move(onHead));
    asio::post(executor, [fetch] { fetch->Start(); });
    return fetch;
}

}  // namespace resolver
