// The upstream client against real hosts on loopback: bodies of every framing, redirects, the
// address guard on every hop, hosts that misbehave, cancellation, and TLS with a CA of its own.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include "upstream.h"

namespace resolver {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::HasSubstr;

std::string Pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>((i * 7 + i / 251) % 256);
    }
    return text;
}

// A host on loopback that answers every connection (one at a time) with the same bytes: it reads
// the request's head, sends `reply`, keeps the connection for `hold` unless the client closes it
// first, and closes it. It notes whether the client was the one that closed.
class ScriptedHost {
  public:
    ScriptedHost(const std::string& address, std::string reply,
                 std::chrono::milliseconds hold = 0ms)
        : reply_(std::move(reply)), hold_(hold) {
        sockaddr_in6 v6{.sin6_family = AF_INET6};
        sockaddr_in v4{.sin_family = AF_INET};
        const bool isV6 = inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr) == 1;
        inet_pton(AF_INET, address.c_str(), &v4.sin_addr);
        auto* any = isV6 ? reinterpret_cast<sockaddr*>(&v6) : reinterpret_cast<sockaddr*>(&v4);
        socklen_t length = isV6 ? sizeof v6 : sizeof v4;
        listener_ = socket(any->sa_family, SOCK_STREAM, 0);
        EXPECT_EQ(bind(listener_, any, length), 0) << address;
        EXPECT_EQ(listen(listener_, 8), 0);
        getsockname(listener_, any, &length);
        port = ntohs(isV6 ? v6.sin6_port : v4.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedHost() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }

    int port = 0;
    std::atomic<int> connections = 0;
    std::atomic<bool> closedByClient = false;

  private:
    bool Wait(int socket, short events) {
        pollfd p{socket, events, 0};
        return poll(&p, 1, 20) > 0;
    }

    void Serve() {
        while (!stop_) {
            const int c = Wait(listener_, POLLIN) ? accept(listener_, nullptr, nullptr) : -1;
            if (c < 0) {
                continue;
            }
            ++connections;
            std::string head;
            char buffer[4096];
            for (const auto until = Clock::now() + 2s;
                 head.find("\r\n\r\n") == std::string::npos && Clock::now() < until;) {
                const ssize_t n = Wait(c, POLLIN) ? recv(c, buffer, sizeof buffer, 0) : 0;
                head.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
            }
            const auto until = Clock::now() + std::max(hold_, 2000ms);
            for (std::size_t sent = 0; sent < reply_.size() && Clock::now() < until && !stop_;) {
                const ssize_t n = Wait(c, POLLOUT)
                                      ? send(c, reply_.data() + sent, reply_.size() - sent,
                                             MSG_NOSIGNAL | MSG_DONTWAIT)
                                      : 0;
                if (n < 0 && errno != EAGAIN) {
                    closedByClient = true;
                    break;
                }
                sent += static_cast<std::size_t>(std::max<ssize_t>(n, 0));
            }
            for (const auto held = Clock::now() + hold_;
                 !closedByClient && Clock::now() < held && !stop_;) {
                if (Wait(c, POLLIN) && recv(c, buffer, sizeof buffer, 0) <= 0) {
                    closedByClient = true;
                }
            }
            close(c);
        }
    }

    std::string reply_;
    std::chrono::milliseconds hold_;
    int listener_ = -1;
    std::atomic<bool> stop_ = false;
    std::thread thread_;
};

// One fetch to the end of its body or its first failure, within ten seconds.
struct Outcome {
    UpstreamFailure failure;
    bool failedInBody = false;
    UpstreamHead head;
    std::string body;
    std::size_t largestPiece = 0;
    bool ended = false;
    Clock::duration took{};
};

Outcome Fetch(UpstreamContext& context, UpstreamRequest request,
              std::size_t max = kUpstreamMaxPiece) {
    boost::asio::io_context io;
    Outcome run;
    std::shared_ptr<UpstreamFetch> fetch;
    std::function<void()> readNext = [&] {
        fetch->Read(max, [&](const UpstreamFailure& failure, std::string_view data, bool end) {
            run.failure = failure;
            run.failedInBody = bool(failure);
            run.body += data;
            run.largestPiece = std::max(run.largestPiece, data.size());
            run.ended = end;
            if (!failure && !end) {
                readNext();
            }
        });
    };
    const auto started = Clock::now();
    fetch = StartFetch(io.get_executor(), context, std::move(request),
                       [&](const UpstreamFailure& failure, const UpstreamHead& head) {
                           run.failure = failure;
                           run.head = head;
                           if (!failure) {
                               readNext();
                           }
                       });
    io.run_for(10s);
    run.took = Clock::now() - started;
    EXPECT_TRUE(io.stopped()) << "the fetch did not end within ten seconds";
    // Nothing of the fetch is left pending: the caller's pointer was the last.
    const std::weak_ptr<UpstreamFetch> weak = fetch;
    fetch.reset();
    EXPECT_TRUE(weak.expired());
    return run;
}

AddressPolicy LoopbackOne() {
    return AddressPolicy(false, {*ParseAddressRange("127.0.0.1/32")});
}

const std::string kInternalReply = "HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\ninternal";

// The hosts the cases share: files on 127.0.0.1, and internal hosts on 127.0.0.2 and [::1] that
// must never see a connection.
class Upstream : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        static const std::string file = Pattern(100 * 1024), big = Pattern(5 << 20),
                                 chunked = Pattern(300'001);
        files_ = new httplib::Server;
        files_->Get("/file", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(file, "application/octet-stream");
        });
        files_->Get("/big", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(big, "application/octet-stream");
        });
        files_->Get("/chunked", [](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider(
                "video/mp4", [](std::size_t at, httplib::DataSink& sink) {
                    if (at == chunked.size()) {
                        sink.done();
                    } else {
                        sink.write(chunked.data() + at,
                                   std::min<std::size_t>(4099, chunked.size() - at));
                    }
                    return true;
                });
        });
        files_->Get("/empty",
                    [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
        files_->Get("/echo.*", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(req.get_header_value("Host") + "|" + req.target + "|" +
                                req.get_header_value("Cookie") + "|" +
                                req.get_header_value("X-Test") + "|" +
                                std::to_string(req.get_header_value_count("Host")),
                            "text/plain");
        });
        files_->Get("/to", [](const httplib::Request& req, httplib::Response& res) {
            res.status = 302;
            res.set_header("Location", req.get_param_value("u"));
        });
        // A chain: each hop another redirect status and another form of Location.
        files_->Get(R"(/hop/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
            const int n = std::stoi(req.matches[1]);
            if (n == 0) {
                return res.set_content("arrived", "text/plain");
            }
            const std::string next = std::to_string(n - 1);
            const std::string forms[] = {Url("/hop/" + next), next, "../hop/./" + next};
            res.status = std::array{301, 302, 303, 307, 308}[n % 5];
            res.set_header("Location", forms[n % 3]);
        });
        port_ = files_->bind_to_any_port("127.0.0.1");
        thread_ = new std::thread([] { files_->listen_after_bind(); });
        internalV4_ = new ScriptedHost("127.0.0.2", kInternalReply);
        internalV6_ = new ScriptedHost("::1", kInternalReply);
    }
    static void TearDownTestSuite() {
        files_->stop();
        thread_->join();
        delete thread_;
        delete files_;
        delete internalV4_;
        delete internalV6_;
    }

    static std::string Url(const std::string& path) {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

    static inline httplib::Server* files_;
    static inline std::thread* thread_;
    static inline int port_;
    static inline ScriptedHost* internalV4_;
    static inline ScriptedHost* internalV6_;
};

TEST_F(Upstream, BodiesComeExactlyInPiecesNoLargerThanAsked) {
    const ScriptedHost closeDelimited("127.0.0.1",
                                      "HTTP/1.1 200 OK\r\nX-One: a\r\n\r\n" + Pattern(70'000));
    const ScriptedHost interim("127.0.0.1",
                               "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n"
                               "Content-length: 2\r\nX-One: a\r\nX-One: b\r\n\r\nok");
    const std::vector<std::pair<std::string, std::string>> interimFields = {
        {"Content-length", "2"}, {"X-One", "a"}, {"X-One", "b"}};
    const std::string local = "http://127.0.0.1:";
    // What the host saw: our Host (not the caller's), the target encoded, the fields given.
    const std::string echoed =
        "127.0.0.1:" + std::to_string(port_) + "|/echo/a%20b?x=1|c=1|\xCE\xBB|1";
    const struct {
        std::string url;
        bool head;
        std::size_t max;
        int status;
        std::string body;
        std::optional<std::uint64_t> length;
        std::vector<std::pair<std::string, std::string>> fields = {};  // checked when given
    } cases[] = {
        {Url("/file"), false, kUpstreamMaxPiece, 200, Pattern(100 * 1024), 100 * 1024},
        {Url("/big"), false, 7000, 200, Pattern(5 << 20), 5 << 20},
        {Url("/chunked"), false, 1000, 200, Pattern(300'001), std::nullopt},
        {local + std::to_string(closeDelimited.port) + "/", false, 4096, 200, Pattern(70'000),
         std::nullopt},
        {local + std::to_string(interim.port) + "/", false, 1, 200, "ok", 2, interimFields},
        {Url("/file"), true, kUpstreamMaxPiece, 200, "", 100 * 1024},
        {Url("/empty"), false, kUpstreamMaxPiece, 204, "", 0},
        {Url("/echo/a b?x=1#frag"), false, kUpstreamMaxPiece, 200, echoed, echoed.size()},
    };
    UpstreamContext context(LoopbackOne());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const Outcome run = Fetch(
            context,
            {.url = c.url,
             .headers = {{"Host", "elsewhere.test"}, {"Cookie", "c=1"}, {"X-Test", "\xCE\xBB"}},
             .head = c.head},
            c.max);
        ASSERT_FALSE(run.failure) << run.failure.message;
        EXPECT_EQ(run.head.status, c.status);
        EXPECT_TRUE(run.body == c.body) << run.body.size() << " bytes, not " << c.body.size();
        EXPECT_TRUE(run.ended);
        EXPECT_LE(run.largestPiece, c.max);
        EXPECT_EQ(run.head.contentLength, c.length);
        if (!c.fields.empty()) {
            EXPECT_EQ(run.head.fields, c.fields);
            EXPECT_EQ(run.head.Field("x-one"), "a");
            EXPECT_EQ(run.head.Field("X-Two"), "");
        }
    }
}

TEST_F(Upstream, FollowsRedirectsUpToTheLimitAndKeepsCredentialsToTheirHost) {
    const struct {
        std::string url;
        int maxRedirects;
        UpstreamError error;
        std::string finalUrl;
        std::string body;
    } cases[] = {
        {Url("/hop/5"), 5, UpstreamError::None, Url("/hop/0"), "arrived"},
        {Url("/hop/6"), 5, UpstreamError::TooManyRedirects, "", ""},
        {Url("/hop/1"), 0, UpstreamError::TooManyRedirects, "", ""},
        {Url("/to?u=/echo"), 5, UpstreamError::None, Url("/echo"),
         "127.0.0.1:" + std::to_string(port_) + "|/echo|c=1|x|1"},
        // Another host (the same address): the cookie was not meant for it.
        {Url("/to?u=http://localhost:" + std::to_string(port_) + "/echo"), 5, UpstreamError::None,
         "http://localhost:" + std::to_string(port_) + "/echo",
         "localhost:" + std::to_string(port_) + "|/echo||x|1"},
        {Url("/to?u=ftp://127.0.0.1/a.mp4"), 5, UpstreamError::BadAddress, "", ""},
    };
    UpstreamContext context(LoopbackOne());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const Outcome run = Fetch(context, {.url = c.url,
                                            .headers = {{"cookie", "c=1"}, {"X-Test", "x"}},
                                            .maxRedirects = c.maxRedirects});
        EXPECT_EQ(run.failure.error, c.error) << run.failure.message;
        EXPECT_EQ(run.head.url, c.finalUrl);
        EXPECT_EQ(run.body, c.body);
    }
}

TEST_F(Upstream, GuardRefusesInternalAddressesOnEveryHop) {
    const std::string v4 = std::to_string(internalV4_->port),
                      v6 = std::to_string(internalV6_->port);
    // Contexts are made once: each reads the system's certificates, which takes a while.
    UpstreamContext loopbackOne(LoopbackOne()), strict(AddressPolicy(false, {}));
    const struct {
        UpstreamContext& context;
        std::string url;
        UpstreamError error;
        std::string named;  // in the message
    } cases[] = {
        {loopbackOne, Url("/to?u=http://127.0.0.2:" + v4 + "/"), UpstreamError::Refused,
         "127.0.0.2"},
        {loopbackOne, Url("/to?u=http://[::ffff:127.0.0.2]:" + v4 + "/"), UpstreamError::Refused,
         "127.0.0.2"},
        {loopbackOne, Url("/to?u=http://2130706434:" + v4 + "/"), UpstreamError::Refused,
         "127.0.0.2"},
        {loopbackOne, Url("/to?u=http://[::1]:" + v6 + "/"), UpstreamError::Refused, "::1"},
        {loopbackOne, "http://[::1]:" + v6 + "/", UpstreamError::Refused, "::1"},
        {loopbackOne, "http://127.0.0.2:" + v4 + "/", UpstreamError::Refused, "127.0.0.2"},
        {loopbackOne, "ftp://127.0.0.1:" + v4 + "/", UpstreamError::BadAddress, "http"},
        {strict, Url("/file"), UpstreamError::Refused, "127.0.0.1"},
        {strict, "http://localhost:" + std::to_string(port_) + "/file", UpstreamError::Refused,
         "127.0.0.1"},
        {loopbackOne, "http://localhost:" + std::to_string(port_) + "/file", UpstreamError::None,
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const Outcome run = Fetch(c.context, {.url = c.url});
        EXPECT_EQ(run.failure.error, c.error);
        EXPECT_THAT(run.failure.message, HasSubstr(c.named));
    }
    EXPECT_EQ(internalV4_->connections, 0);
    EXPECT_EQ(internalV6_->connections, 0);
}

TEST_F(Upstream, HostsThatMisbehaveFailPlainly) {
    const std::string head1000 = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n";
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    const struct {
        std::string reply;
        std::chrono::milliseconds hold;  // a hold of 3 s is a stall: the client waits 300 ms
        UpstreamError error;
        bool inBody;
    } cases[] = {
        {head1000 + std::string(500, 'x'), 0ms, UpstreamError::EndedEarly, true},
        {head1000 + std::string(500, 'x'), 3s, UpstreamError::Timeout, true},
        {"", 3s, UpstreamError::Timeout, false},
        {"HTTP/1.1 200 OK\r\nContent-Le", 3s, UpstreamError::Timeout, false},
        {chunked + "10\r\n0123456789", 0ms, UpstreamError::EndedEarly, true},
        {chunked + "zz\r\n", 0ms, UpstreamError::Protocol, true},
        {"", 0ms, UpstreamError::Protocol, false},
        {"SSH-2.0-OpenSSH\r\n\r\n", 0ms, UpstreamError::Protocol, false},
        {"HTTP/1.1 200 OK\r\nX-Big: " + std::string(70'000, 'b') + "\r\n\r\n", 0ms,
         UpstreamError::TooLarge, false},
    };
    UpstreamContext context(LoopbackOne());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply.substr(0, 60));
        const ScriptedHost host("127.0.0.1", c.reply, c.hold);
        const Outcome run =
            Fetch(context, {.url = "http://127.0.0.1:" + std::to_string(host.port) + "/",
                            .timeout = c.hold == 3s ? 300ms : 5000ms});
        EXPECT_EQ(run.failure.error, c.error) << run.failure.message;
        EXPECT_EQ(run.failedInBody, c.inBody);
        EXPECT_FALSE(run.ended);
        if (c.error == UpstreamError::Timeout) {
            EXPECT_GE(run.took, 300ms);
        }
    }

    // A port where nothing listens; headers that would break the request's lines.
    EXPECT_EQ(Fetch(context, {.url = "http://127.0.0.1:1/"}).failure.error, UpstreamError::Connect);
    for (const auto& [name, value] : {std::pair{"X-A", "1\r\nX-B: 1"}, {"X A", "1"}}) {
        EXPECT_EQ(Fetch(context, {.url = Url("/file"), .headers = {{name, value}}}).failure.error,
                  UpstreamError::BadRequest);
    }
}

TEST_F(Upstream, CancelEndsTheConnectionAndLeavesNothingPending) {
    UpstreamContext context(LoopbackOne());
    for (const bool duringBody : {true, false}) {
        SCOPED_TRACE(duringBody ? "during the body" : "before the head");
        const ScriptedHost host(
            "127.0.0.1",
            duringBody ? "HTTP/1.1 200 OK\r\nContent-Length: 10485760\r\n\r\n" + Pattern(256 << 10)
                       : "",
            5000ms);
        boost::asio::io_context io;
        boost::asio::steady_timer later(io, 200ms);
        std::vector<UpstreamError> seen;
        std::shared_ptr<UpstreamFetch> fetch;
        fetch =
            StartFetch(io.get_executor(), context,
                       {.url = "http://127.0.0.1:" + std::to_string(host.port) + "/"},
                       [&](const UpstreamFailure& failure, const UpstreamHead&) {
                           seen.push_back(failure.error);
                           if (failure) {
                               return;
                           }
                           fetch->Read(1000, [&](const UpstreamFailure& f, std::string_view, bool) {
                               seen.push_back(f.error);
                               fetch->Read(1000, [&](const UpstreamFailure& f, std::string_view,
                                                     bool) { seen.push_back(f.error); });
                               fetch->Cancel();
                               fetch->Cancel();
                           });
                       });
        if (!duringBody) {
            later.async_wait([&](auto) { fetch->Cancel(); });
        }
        io.run_for(5s);
        ASSERT_TRUE(io.stopped());
        const std::vector<UpstreamError> expected =
            duringBody
                ? std::vector{UpstreamError::None, UpstreamError::None, UpstreamError::Cancelled}
                : std::vector{UpstreamError::Cancelled};
        EXPECT_EQ(seen, expected);
        bool lateRead = false;
        fetch->Read(10, [&](const UpstreamFailure& f, std::string_view, bool) {
            lateRead = f.error == UpstreamError::Cancelled;
        });
        io.restart();
        io.run_for(1s);
        EXPECT_TRUE(lateRead);
        const std::weak_ptr<UpstreamFetch> weak = fetch;
        fetch.reset();
        EXPECT_TRUE(weak.expired());
        for (const auto until = Clock::now() + 2s; !host.closedByClient && Clock::now() < until;) {
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_TRUE(host.closedByClient);
    }
}

TEST_F(Upstream, HttpsVerifiesTheCertificateAndTheHostName) {
    char folder[] = "/tmp/upstream-tls-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string dir = folder;
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    ASSERT_EQ(std::system(("cd " + dir +
                           " && printf 'subjectAltName=IP:127.0.0.1\\n' > ext &&"
                           " openssl req -x509" +
                           ec +
                           " -keyout ca.key -out ca.pem -days 2"
                           " -subj /CN=Upstream-Test-CA 2>/dev/null &&"
                           " openssl req" +
                           ec +
                           " -keyout host.key -out host.csr -subj /CN=127.0.0.1"
                           " 2>/dev/null && openssl x509 -req -in host.csr -CA ca.pem -CAkey ca.key"
                           " -CAcreateserial -out host.pem -days 2 -extfile ext 2>/dev/null")
                              .c_str()),
              0);
    httplib::SSLServer server((dir + "/host.pem").c_str(), (dir + "/host.key").c_str());
    ASSERT_TRUE(server.is_valid());
    server.Get("/file", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(Pattern(200'000), "application/octet-stream");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { server.listen_after_bind(); });

    const char* original = std::getenv("SSL_CERT_FILE");
    const std::string systemFile = original ? original : "";
    setenv("SSL_CERT_FILE", (dir + "/ca.pem").c_str(), 1);
    UpstreamContext trusting(LoopbackOne());
    original ? setenv("SSL_CERT_FILE", systemFile.c_str(), 1) : unsetenv("SSL_CERT_FILE");
    UpstreamContext systemOnly(LoopbackOne());
    const struct {
        UpstreamContext& context;
        std::string host;
        UpstreamError error;
    } cases[] = {
        {trusting, "127.0.0.1", UpstreamError::None},
        {systemOnly, "127.0.0.1", UpstreamError::Tls},
        {trusting, "localhost", UpstreamError::Tls},  // the certificate names only the address
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host + (&c.context == &trusting ? " with the test's CA" : " without it"));
        const Outcome run =
            Fetch(c.context, {.url = "https://" + c.host + ":" + std::to_string(port) + "/file"});
        EXPECT_EQ(run.failure.error, c.error) << run.failure.message;
        EXPECT_EQ(run.body == Pattern(200'000), c.error == UpstreamError::None);
    }
    server.stop();
    serving.join();
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace resolver
