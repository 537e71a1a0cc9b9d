// http_server: the service's HTTP/1.1 server on Boost.Beast over Asio: a listener that accepts
// and a session per connection, every read and write under a time limit, no thread per
// connection, a bound on connections with the oldest idle ones closed first, keep-alive, and
// answers sent whole or streamed with back-pressure.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http/fields.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace resolver::http {

namespace net = boost::asio;
using Request = boost::beast::http::request<boost::beast::http::string_body>;
using Clock = std::chrono::steady_clock;

// A streamed answer's body. The server asks for the next piece only once the previous one has been
// written to the client, so a source never holds more than one piece (back-pressure).
class BodySource {
  public:
    virtual ~BodySource() = default;

    // Called with the next piece: data (may be empty only when end or failure is set) stays
    // valid until Next or Cancel is called again. end: the body is complete after data.
    // failure (a sentence for the log): the body cannot be completed; the server cuts the
    // connection, so the client never takes a short body for a whole one.
    using Piece = std::function<void(std::string_view data, bool end, std::string failure)>;

    // Produces the next piece and calls done once, from any thread. Never called again before
    // done ran, nor after end, a failure or Cancel.
    virtual void Next(Piece done) = 0;

    // The answer ends early (the client went, a write's time limit passed, the server stops): the
    // source stops, releases what it holds, and may still call a pending done, which is ignored.
    virtual void Cancel(const std::string& why) = 0;
};

// What a handler answers. With neither body nor stream the body is empty.
struct Reply {
    unsigned status = 200;
    boost::beast::http::fields headers;
    std::shared_ptr<const std::string> body;  // the whole body, sent with its head in one write
    std::shared_ptr<BodySource> stream;       // or a body produced as it is sent
    // For a stream (and for a HEAD answer without a body), the Content-Length to announce; none
    // for a stream sends it chunked.
    std::optional<std::uint64_t> length;
    bool close = false;  // close the connection after this answer

    static Reply Text(unsigned status, std::string contentType, std::string body);
};

class Session;
class Server;

// One request and its answer. Handlers get it as a shared_ptr, keep it while they work and
// call Respond once, from any thread.
class Exchange : public std::enable_shared_from_this<Exchange> {
  public:
    Exchange(std::shared_ptr<Session> session, Server& server, Request request, std::string peer,
             net::any_io_executor executor);
    ~Exchange();

    const Request& request() const { return request_; }
    // The target's path, percent-decoded ("+" kept).
    const std::string& path() const { return path_; }
    // A query parameter, percent-decoded with "+" as a space; empty when absent.
    std::string Query(std::string_view name) const;
    bool HasQuery(std::string_view name) const;
    bool head() const;
    // The connection's peer address, numeric.
    const std::string& peer() const { return peer_; }
    Clock::time_point started() const { return started_; }
    // The connection's strand: work done there is never concurrent with the session's own.
    const net::any_io_executor& executor() const { return executor_; }

    // Sends the answer. Only the first call counts. This function can't fail; a client that has
    // gone is noticed by the session and logged.
    void Respond(Reply reply);

  private:
    std::shared_ptr<Session> session_;
    Server& server_;
    Request request_;
    std::string path_;
    std::vector<std::pair<std::string, std::string>> query_;  // decoded, in order
    std::string peer_;
    net::any_io_executor executor_;
    Clock::time_point started_;
    std::atomic<bool> answered_ = false;
};

// How one answer ended, for the access log.
struct Ending {
    unsigned status = 0;
    std::uint64_t bodyBytes = 0;  // of the body, sent to the client
    bool streamed = false;
    std::string failure;                                  // empty when the answer went out whole
    const boost::beast::http::fields* headers = nullptr;  // the answer's own, while logging
};

struct ServerSettings {
    std::chrono::milliseconds idleTimeout{5'000};      // waiting for a request on a connection
    std::chrono::milliseconds requestTimeout{10'000};  // its head and body, from the first byte
    std::chrono::milliseconds writeTimeout{30'000};    // each write of an answer
    std::size_t maxConnections = 4096;
    std::size_t maxRequestsPerConnection = 1000;
    std::uint64_t maxBodyBytes = 64 * 1024;
    std::uint32_t maxHeaderBytes = 16 * 1024;
    // Added to every answer, the server's own (400, 413, …) included.
    boost::beast::http::fields commonHeaders;
    // The answer to a request the server itself refuses, or a bad one: status and content.
    std::function<Reply(unsigned status, const std::string& path)> errorReply;
};

class Server {
  public:
    using Handler = std::function<void(std::shared_ptr<Exchange>)>;
    using Logger = std::function<void(const Exchange&, const Ending&)>;

    Server(net::io_context& io, ServerSettings settings, Handler handler, Logger logger);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and listens (SO_REUSEADDR only: a second instance on the same port fails rather than
    // sharing it; the system's largest backlog). Returns the port, or 0 with why set.
    unsigned short Listen(const std::string& host, unsigned short port, std::string* why);

    // Accepts connections on the io_context's threads until Stop().
    void Start();

    // Stops accepting; idle connections are closed, answers in flight are finished (streamed
    // ones are cut) and their connections closed. Safe from any thread, once or more.
    void Stop();

    bool stopping() const { return stopping_; }
    std::size_t connections() const { return connections_; }

    // For the sessions.
    using IdlePlace = std::list<std::weak_ptr<Session>>::iterator;
    const ServerSettings& settings() const { return settings_; }
    // The common headers, written once as they go into every answer's head.
    const std::string& commonHead() const { return commonHead_; }
    void Dispatch(std::shared_ptr<Exchange> exchange) { handler_(std::move(exchange)); }
    void Log(const Exchange& exchange, const Ending& ending) { logger_(exchange, ending); }
    // A session waits for a request (it may be closed to make room) or stops waiting.
    void BecomeIdle(const std::shared_ptr<Session>& session);
    void BecomeBusy(Session* session);
    // A session has ended (its destructor).
    void Ended(Session* session);
    // A request is being worked on, or has been answered: the server's threads run while any is
    // (after Stop too, until the last is answered).
    void Begun();
    void Answered();

  private:
    void Accept();
    void OnAccept(boost::system::error_code error, net::ip::tcp::socket socket);
    // Makes room for one more connection: closes the one idle longest. False when none is idle.
    bool CloseOldestIdle();

    net::io_context& io_;
    ServerSettings settings_;
    std::string commonHead_;
    Handler handler_;
    Logger logger_;
    net::ip::tcp::acceptor acceptor_;
    std::atomic<bool> stopping_ = false;
    std::atomic<std::size_t> connections_ = 0;
    std::mutex workMutex_;
    std::size_t unanswered_ = 0;
    std::optional<net::executor_work_guard<net::io_context::executor_type>> work_;
    std::mutex mutex_;
    std::list<std::weak_ptr<Session>> idle_;  // longest idle first
    std::unordered_map<Session*, std::weak_ptr<Session>> live_;
};

}  // namespace resolver::http
