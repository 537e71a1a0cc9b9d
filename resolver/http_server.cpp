// http_server: the listener, the sessions, their time limits and the bound on connections.
#include "http_server.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/chunk_encode.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include <sys/socket.h>

#include <algorithm>
#include <array>

namespace resolver::http {

namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = net::ip::tcp;
using boost::system::error_code;

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// %XX decoded (a malformed escape is kept as it is); "+" as a space in a query.
std::string Decode(std::string_view text, bool query) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
            HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else if (query && text[i] == '+') {
            out += ' ';
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string_view QueryOf(std::string_view target) {
    const std::size_t mark = target.find('?');
    return mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
}

// Calls found(name, value) for each parameter of the query, both decoded, until it returns true.
template <typename Found>
void EachParameter(std::string_view query, Found found) {
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const std::size_t eq = pair.find('=');
        const std::string name = Decode(pair.substr(0, eq), true);
        const std::string value =
            eq == std::string_view::npos ? std::string() : Decode(pair.substr(eq + 1), true);
        if (found(name, value)) {
            return;
        }
    }
}

}  // namespace

Reply Reply::Text(unsigned status, std::string contentType, std::string body) {
    Reply reply;
    reply.status = status;
    reply.headers.set(bhttp::field::content_type, contentType);
    reply.body = std::make_shared<const std::string>(std::move(body));
    return reply;
}

// One connection: waits for a request (idle), reads it within its time limit, hands it to the
// handler, sends the answer, and again while the connection is kept.
class Session : public std::enable_shared_from_this<Session> {
  public:
    Session(Server& server, tcp::socket socket)
        : server_(server), stream_(std::move(socket)), peer_(PeerOf(stream_.socket())) {}
    ~Session() {
        if (exchange_) {
            ending_.failure = "the connection ended";
            Done();
        }
        server_.Ended(this);
    }

    // Whether the session is in the server's queue of idle ones; guarded by the server's mutex.
    bool listedIdle = false;
    Server::IdlePlace idlePlace;

    void Start() {
        net::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->Wait(); });
    }

    // Closes the connection from any thread: a session waiting for a request ends at once; one
    // answering finishes a whole answer first and cuts a streamed one.
    void Close(bool cutStreams) {
        net::post(stream_.get_executor(), [self = shared_from_this(), cutStreams] {
            self->closing_ = true;
            if (self->idle_ || (cutStreams && self->source_)) {
                self->Cut("the server is stopping");
            }
        });
    }

    void Send(std::shared_ptr<Exchange> exchange, Reply reply) {
        // At once when answered on the session's own strand (a kept answer), else queued there.
        net::dispatch(stream_.get_executor(),
                      [self = shared_from_this(), exchange = std::move(exchange),
                       reply = std::move(reply)]() mutable {
                          self->Answer(std::move(exchange), std::move(reply));
                      });
    }

    // The handler dropped its exchange without answering.
    void Abandoned() {
        net::post(stream_.get_executor(),
                  [self = shared_from_this()] { self->Cut("the request was not answered"); });
    }

  private:
    static std::string PeerOf(const tcp::socket& socket) {
        error_code error;
        const auto endpoint = socket.remote_endpoint(error);
        if (error) {
            return "-";
        }
        auto address = endpoint.address();
        if (address.is_v6() && address.to_v6().is_v4_mapped()) {
            address = net::ip::make_address_v4(net::ip::v4_mapped, address.to_v6());
        }
        return address.to_string();
    }

    const ServerSettings& settings() const { return server_.settings(); }

    void Wait() {
        if (closing_ || server_.stopping()) {
            Shutdown();
            return;
        }
        if (buffer_.size() > 0) {
            Read();  // a pipelined request is already here
            return;
        }
        idle_ = true;
        server_.BecomeIdle(shared_from_this());
        stream_.expires_after(settings().idleTimeout);
        stream_.async_read_some(buffer_.prepare(4096),
                                [self = shared_from_this()](error_code error, std::size_t n) {
                                    self->NotIdle();
                                    if (error) {
                                        self->Shutdown();
                                        return;
                                    }
                                    self->buffer_.commit(n);
                                    self->Read();
                                });
    }

    void NotIdle() {
        if (idle_) {
            idle_ = false;
            server_.BecomeBusy(this);
        }
    }

    void Read() {
        parser_.emplace();
        parser_->header_limit(settings().maxHeaderBytes);
        parser_->body_limit(settings().maxBodyBytes);
        parser_->eager(true);
        // What has come already is most often the whole request: parsed here, without another
        // read.
        error_code error;
        while (buffer_.size() > 0 && !parser_->is_done()) {
            const std::size_t used = parser_->put(buffer_.data(), error);
            buffer_.consume(used);
            if (error == bhttp::error::need_more) {
                error = {};
                break;
            }
            if (error || used == 0) {
                break;
            }
        }
        if (error || parser_->is_done()) {
            OnRequest(error);
            return;
        }
        // Head and body from the first byte within the limit: a client that sends slowly is
        // dropped, not waited for.
        stream_.expires_after(settings().requestTimeout);
        bhttp::async_read(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](error_code error, std::size_t) { self->OnRequest(error); });
    }

    void OnRequest(error_code error) {
        stream_.expires_never();
        if (error == bhttp::error::body_limit || error == bhttp::error::header_limit ||
            (error && error != bhttp::error::end_of_stream && error != beast::error::timeout &&
             error != net::error::operation_aborted && error != net::error::eof &&
             error != net::error::connection_reset && error != bhttp::error::partial_message)) {
            // The server's own refusal, answered and the connection closed: what is left of the
            // request cannot be told from the next one.
            const unsigned status = error == bhttp::error::body_limit     ? 413
                                    : error == bhttp::error::header_limit ? 431
                                                                          : 400;
            Request partial;
            if (parser_ && parser_->is_header_done()) {
                partial = parser_->release();
            }
            closing_ = true;
            auto exchange = std::make_shared<Exchange>(shared_from_this(), server_, std::move(partial),
                                                       peer_, stream_.get_executor());
            Reply reply = settings().errorReply ? settings().errorReply(status, exchange->path())
                                                : Reply::Text(status, "text/plain", "");
            reply.status = status;
            reply.close = true;
            exchange->Respond(std::move(reply));
            return;
        }
        if (error) {
            Shutdown();  // closed, timed out, or cut short
            return;
        }
        ++served_;
        keepAlive_ = parser_->get().keep_alive() && served_ < settings().maxRequestsPerConnection;
        auto exchange = std::make_shared<Exchange>(shared_from_this(), server_, parser_->release(),
                                                   peer_, stream_.get_executor());
        parser_.reset();
        server_.Dispatch(std::move(exchange));
    }

    void Answer(std::shared_ptr<Exchange> exchange, Reply reply) {
        if (exchange_ || shut_) {
            return;  // answered already, or the connection is gone
        }
        exchange_ = std::move(exchange);
        reply_ = std::move(reply);
        ending_ = Ending();
        ending_.status = reply_.status;
        ending_.streamed = reply_.stream != nullptr;
        const bool head = exchange_->head();
        if (reply_.close || closing_ || server_.stopping()) {
            keepAlive_ = false;
        }
        auto fill = [&](auto& message) {
            for (const auto& field : settings().commonHeaders) {
                message.set(field.name_string(), field.value());
            }
            for (const auto& field : reply_.headers) {
                message.set(field.name_string(), field.value());
            }
            message.keep_alive(keepAlive_);
        };
        if (reply_.stream && head) {
            reply_.stream->Cancel("a HEAD request");
            reply_.stream.reset();
        }
        if (reply_.stream) {
            source_ = reply_.stream;
            streamHead_.emplace(static_cast<bhttp::status>(reply_.status),
                                exchange_->request().version());
            fill(*streamHead_);
            if (reply_.length) {
                streamHead_->content_length(*reply_.length);
            } else if (exchange_->request().version() >= 11) {
                streamHead_->chunked(true);
            } else {
                // HTTP/1.0 has no chunks: the body ends with the connection.
                keepAlive_ = false;
                streamHead_->keep_alive(false);
            }
            streamSerializer_.emplace(*streamHead_);
            stream_.expires_after(settings().writeTimeout);
            bhttp::async_write_header(
                stream_, *streamSerializer_,
                [self = shared_from_this()](error_code error, std::size_t) {
                    if (error) {
                        self->Cut("the client went away (" + error.message() + ")");
                        return;
                    }
                    self->NextPiece();
                });
            return;
        }
        // A whole answer: its head written here (the common headers as the server wrote them
        // once) and sent with its body in one write.
        const std::string* body = reply_.body.get();
        const std::uint64_t size = body ? body->size() : 0;
        head_.clear();
        head_ += exchange_->request().version() >= 11 ? "HTTP/1.1 " : "HTTP/1.0 ";
        head_ += std::to_string(reply_.status);
        head_ += ' ';
        head_ += bhttp::obsolete_reason(static_cast<bhttp::status>(reply_.status));
        head_ += "\r\n";
        head_ += server_.commonHead();
        for (const auto& field : reply_.headers) {
            head_.append(field.name_string()).append(": ").append(field.value()).append("\r\n");
        }
        // A HEAD answers the length the GET would have; one made as it is sent has none.
        if (!head || reply_.length || body) {
            head_ += "Content-Length: ";
            head_ += std::to_string(head && reply_.length ? *reply_.length : size);
            head_ += "\r\n";
        }
        if (exchange_->request().version() >= 11) {
            head_ += keepAlive_ ? "" : "Connection: close\r\n";
        } else {
            head_ += keepAlive_ ? "Connection: keep-alive\r\n" : "";
        }
        head_ += "\r\n";
        ending_.bodyBytes = head ? 0 : size;
        stream_.expires_after(settings().writeTimeout);
        const std::array<net::const_buffer, 2> buffers = {
            net::buffer(head_), head ? net::const_buffer() : net::buffer(body ? *body : head_, size)};
        net::async_write(stream_, buffers,
                         [self = shared_from_this()](error_code error, std::size_t) {
                             self->Finished(error);
                         });
    }

    void NextPiece() {
        if (!source_) {
            return;
        }
        // The session lives on while it waits for the piece: nothing else may hold it then.
        const std::uint64_t generation = generation_;
        source_->Next([self = shared_from_this(), generation](std::string_view data, bool end,
                                                              std::string failure) {
            // The data stays valid until the next Next, which only the session calls.
            const auto executor = self->stream_.get_executor();
            net::dispatch(executor,
                          [self, generation, data, end, failure = std::move(failure)]() mutable {
                              if (generation == self->generation_) {
                                  self->OnPiece(data, end, std::move(failure));
                              }
                          });
        });
    }

    void OnPiece(std::string_view data, bool end, std::string failure) {
        if (!source_) {
            return;
        }
        if (!failure.empty()) {
            Cut(failure);
            return;
        }
        const std::uint64_t total = ending_.bodyBytes + data.size();
        if (reply_.length && (total > *reply_.length || (end && total != *reply_.length))) {
            Cut(end ? "the body ended short of its length" : "the body ran past its length");
            return;
        }
        auto written = [self = shared_from_this(), end, size = data.size()](error_code error,
                                                                            std::size_t) {
            if (error) {
                self->Cut("the client went away (" + error.message() + ")");
                return;
            }
            self->ending_.bodyBytes += size;
            if (!end) {
                self->NextPiece();
            } else if (self->streamHead_->chunked()) {
                self->stream_.expires_after(self->settings().writeTimeout);
                net::async_write(self->stream_, bhttp::make_chunk_last(),
                                 [self](error_code error, std::size_t) {
                                     self->source_.reset();
                                     self->Finished(error);
                                 });
            } else {
                self->source_.reset();
                self->Finished({});
            }
        };
        stream_.expires_after(settings().writeTimeout);
        if (data.empty()) {
            written({}, 0);
        } else if (reply_.length || !streamHead_->chunked()) {
            net::async_write(stream_, net::buffer(data.data(), data.size()), std::move(written));
        } else {
            net::async_write(stream_, bhttp::make_chunk(net::buffer(data.data(), data.size())),
                             std::move(written));
        }
    }

    // The answer went out (or failed): logged, then the next request or the end.
    void Finished(error_code error) {
        stream_.expires_never();
        if (error) {
            ending_.failure = "the client went away (" + error.message() + ")";
        }
        Done();
        if (error || !keepAlive_) {
            Shutdown();
        } else {
            Wait();
        }
    }

    void Done() {
        ++generation_;
        if (exchange_) {
            ending_.headers = &reply_.headers;
            server_.Log(*exchange_, ending_);
            ending_.headers = nullptr;
        }
        exchange_.reset();
        reply_ = Reply();
        head_.clear();
        streamSerializer_.reset();
        streamHead_.reset();
    }

    // Ends the connection at once: a streamed answer is left unfinished (no last chunk, fewer
    // bytes than its length), which every client takes for a failed transfer.
    void Cut(const std::string& why) {
        if (source_) {
            source_->Cancel(why);
            source_.reset();
        }
        if (exchange_) {
            ending_.failure = why;
            Done();
        }
        Shutdown();
    }

    void Shutdown() {
        NotIdle();
        if (shut_) {
            return;
        }
        shut_ = true;
        error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
    }

    Server& server_;
    beast::tcp_stream stream_;
    std::string peer_;
    beast::flat_buffer buffer_;
    std::optional<bhttp::request_parser<bhttp::string_body>> parser_;
    std::size_t served_ = 0;
    bool keepAlive_ = false;
    bool idle_ = false;
    bool closing_ = false;
    bool shut_ = false;

    // The answer being sent.
    std::shared_ptr<Exchange> exchange_;
    Reply reply_;
    Ending ending_;
    std::uint64_t generation_ = 0;  // pieces of an earlier answer are ignored
    std::shared_ptr<BodySource> source_;
    std::string head_;  // a whole answer's head
    std::optional<bhttp::response<bhttp::empty_body>> streamHead_;
    std::optional<bhttp::response_serializer<bhttp::empty_body>> streamSerializer_;
};

Exchange::Exchange(std::shared_ptr<Session> session, Server& server, Request request,
                   std::string peer, net::any_io_executor executor)
    : session_(std::move(session)),
      server_(server),
      request_(std::move(request)),
      peer_(std::move(peer)),
      executor_(std::move(executor)),
      started_(Clock::now()) {
    const std::string_view target = request_.target();
    path_ = Decode(target.substr(0, target.find('?')), false);
    EachParameter(QueryOf(target), [&](std::string name, std::string value) {
        query_.emplace_back(std::move(name), std::move(value));
        return false;
    });
    server_.Begun();
}

Exchange::~Exchange() {
    if (!answered_) {
        if (session_) {
            session_->Abandoned();
        }
        server_.Answered();
    }
}

bool Exchange::head() const {
    return request_.method() == bhttp::verb::head;
}

std::string Exchange::Query(std::string_view name) const {
    for (const auto& [n, value] : query_) {
        if (n == name) {
            return value;
        }
    }
    return {};
}

bool Exchange::HasQuery(std::string_view name) const {
    return std::any_of(query_.begin(), query_.end(),
                       [&](const auto& parameter) { return parameter.first == name; });
}

void Exchange::Respond(Reply reply) {
    if (answered_.exchange(true)) {
        return;
    }
    // The session keeps the exchange while it sends; the exchange lets go of the session here.
    auto session = std::move(session_);
    session->Send(shared_from_this(), std::move(reply));
    server_.Answered();
}

void Server::Begun() {
    std::lock_guard lock(workMutex_);
    ++unanswered_;
}

void Server::Answered() {
    std::lock_guard lock(workMutex_);
    if (--unanswered_ == 0 && stopping_) {
        work_.reset();
    }
}

Server::Server(net::io_context& io, ServerSettings settings, Handler handler, Logger logger)
    : io_(io),
      settings_(std::move(settings)),
      handler_(std::move(handler)),
      logger_(std::move(logger)),
      acceptor_(net::make_strand(io)) {
    for (const auto& field : settings_.commonHeaders) {
        commonHead_.append(field.name_string()).append(": ").append(field.value()).append("\r\n");
    }
}

Server::~Server() = default;

unsigned short Server::Listen(const std::string& host, unsigned short port, std::string* why) {
    error_code error;
    const auto address = net::ip::make_address(host, error);
    if (error) {
        *why = "not an address: " + host;
        return 0;
    }
    const tcp::endpoint endpoint(address, port);
    acceptor_.open(endpoint.protocol(), error);
    if (!error) {
        acceptor_.set_option(net::socket_base::reuse_address(true), error);
    }
    if (!error) {
        acceptor_.bind(endpoint, error);
    }
    if (!error) {
        acceptor_.listen(net::socket_base::max_listen_connections, error);
    }
    if (error) {
        *why = error.message();
        acceptor_.close(error);
        return 0;
    }
    return acceptor_.local_endpoint().port();
}

void Server::Start() {
    {
        std::lock_guard lock(workMutex_);
        work_.emplace(io_.get_executor());
    }
    Accept();
}

void Server::Accept() {
    acceptor_.async_accept(net::make_strand(io_), [this](error_code error, tcp::socket socket) {
        OnAccept(error, std::move(socket));
    });
}

void Server::OnAccept(error_code error, tcp::socket socket) {
    if (stopping_ || !acceptor_.is_open()) {
        return;
    }
    if (!error) {
        if (connections_ >= settings_.maxConnections && !CloseOldestIdle()) {
            // Every connection is working: this one is turned away rather than waiting.
            error_code ignored;
            socket.close(ignored);
        } else {
            ++connections_;
            // An answer goes out in one write, but without this one written while the previous
            // answer is not yet acknowledged waits for the client's delayed acknowledgement.
            error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            auto session = std::make_shared<Session>(*this, std::move(socket));
            {
                std::lock_guard lock(mutex_);
                live_[session.get()] = session;
            }
            session->Start();
        }
    }
    Accept();
}

bool Server::CloseOldestIdle() {
    std::shared_ptr<Session> oldest;
    {
        std::lock_guard lock(mutex_);
        while (!oldest && !idle_.empty()) {
            oldest = idle_.front().lock();
            if (oldest) {
                oldest->listedIdle = false;
            }
            idle_.pop_front();
        }
    }
    if (oldest) {
        oldest->Close(false);
    }
    return oldest != nullptr;
}

void Server::BecomeIdle(const std::shared_ptr<Session>& session) {
    std::lock_guard lock(mutex_);
    session->idlePlace = idle_.insert(idle_.end(), session);
    session->listedIdle = true;
}

void Server::BecomeBusy(Session* session) {
    std::lock_guard lock(mutex_);
    // A session taken out of the queue to be closed is no longer in it.
    if (session->listedIdle) {
        idle_.erase(session->idlePlace);
        session->listedIdle = false;
    }
}

void Server::Ended(Session* session) {
    std::lock_guard lock(mutex_);
    if (session->listedIdle) {
        idle_.erase(session->idlePlace);
        session->listedIdle = false;
    }
    live_.erase(session);
    --connections_;
}

void Server::Stop() {
    if (stopping_.exchange(true)) {
        return;
    }
    {
        std::lock_guard lock(workMutex_);
        if (unanswered_ == 0) {
            work_.reset();
        }
    }
    net::post(acceptor_.get_executor(), [this] {
        error_code ignored;
        acceptor_.close(ignored);
    });
    std::vector<std::shared_ptr<Session>> sessions;
    {
        std::lock_guard lock(mutex_);
        for (auto& [raw, weak] : live_) {
            if (auto session = weak.lock()) {
                sessions.push_back(std::move(session));
            }
        }
    }
    for (auto& session : sessions) {
        session->Close(true);
    }
}

}  // namespace resolver::http
