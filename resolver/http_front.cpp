// http_front: routes, statuses, headers and the access log.
#include "http_front.h"

#include <httplib.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <mutex>

#include "page_writer.h"

namespace resolver {
namespace {

using Clock = std::chrono::steady_clock;

thread_local Clock::time_point requestStarted;

constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kJson = "application/json; charset=utf-8";

std::string Trim(const std::string& text) {
    const std::size_t from = text.find_first_not_of(" \t\r\n");
    if (from == std::string::npos) {
        return {};
    }
    return text.substr(from, text.find_last_not_of(" \t\r\n") - from + 1);
}

// For the log: printable ASCII as it is, everything else as \xHH, so that an address cannot
// forge or split a log line.
std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char ch : text.substr(0, 2100)) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c >= 0x7F || ch == '"' || ch == '\\') {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string UtcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms));
    return text;
}

void AccessLog(const std::string& client, const httplib::Request& req,
               const httplib::Response& res) {
    static std::mutex out;
    const double ms =
        std::chrono::duration<double, std::milli>(Clock::now() - requestStarted).count();
    const std::string asked = req.has_param("url") ? Quoted(req.get_param_value("url")) : "-";
    const std::string cache = res.has_header("X-Cache") ? res.get_header_value("X-Cache") : "-";
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.1fms", ms);
    const std::string line = UtcNow() + " " + client + " " + std::to_string(res.status) + " " +
                             req.method + " " + Quoted(req.path) + " " + asked + " " + duration +
                             " cache=" + cache + "\n";
    std::lock_guard lock(out);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void NoStore(httplib::Response& res) {
    // File addresses expire and differ per client; nothing may keep them.
    res.set_header("Cache-Control", "no-store");
}

// Answers with the outcome: the result page, or JSON under /api/. A busy service asks to be
// tried again shortly.
void Answer(const httplib::Request& req, httplib::Response& res, const std::string& asked,
            const Outcome& outcome) {
    res.status = outcome.resolution ? 200 : outcome.status;
    NoStore(res);
    if (outcome.status == 503 && !res.has_header("Retry-After")) {
        res.set_header("Retry-After", "5");
    }
    if (req.path.starts_with("/api/")) {
        res.set_content(DumpJson(OutcomeToJson(outcome)), kJson);
    } else {
        res.set_content(WriteResultPage(asked, outcome), kHtml);
    }
}

// One kept connection of the server, as the library's own stream over a socket does it: reads
// through a small buffer (the library reads a request's head a byte at a time), each read and
// write bounded by its time limit; except that what is written for one answer is gathered and
// sent in one write call when the answer is complete. An answer is thus either wholly handed to
// the system or not at all, even when the process is killed while it answers: a proxy passes a
// request that got no answer to another instance, but cannot do so once the head of an answer
// reached it.
class WholeAnswerStream : public httplib::Stream {
  public:
    WholeAnswerStream(int socket, int readTimeoutMs, int writeTimeoutMs)
        : socket_(socket), readTimeoutMs_(readTimeoutMs), writeTimeoutMs_(writeTimeoutMs) {}

    bool is_readable() const override { return Ready(readTimeoutMs_); }
    bool is_writable() const override { return Wait(POLLOUT, writeTimeoutMs_); }
    ssize_t read(char* ptr, size_t size) override {
        // Anything written before reading more (an interim "100 Continue") goes first.
        if (!Flush()) {
            return -1;
        }
        if (readFrom_ == read_.size()) {
            if (!Wait(POLLIN, readTimeoutMs_)) {
                return -1;
            }
            read_.resize(4096);
            const ssize_t n = recv(socket_, read_.data(), read_.size(), 0);
            read_.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
            readFrom_ = 0;
            if (n <= 0) {
                return n;
            }
        }
        const std::size_t n = std::min(size, read_.size() - readFrom_);
        std::memcpy(ptr, read_.data() + readFrom_, n);
        readFrom_ += n;
        return static_cast<ssize_t>(n);
    }
    ssize_t write(const char* ptr, size_t size) override {
        pending_.append(ptr, size);
        return static_cast<ssize_t>(size);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        Address(getpeername, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        Address(getsockname, ip, port);
    }
    socket_t socket() const override { return socket_; }

    // Sends what was gathered. Returns false when the connection failed.
    bool Flush() {
        for (std::size_t sent = 0; sent < pending_.size();) {
            if (!Wait(POLLOUT, writeTimeoutMs_)) {
                return false;
            }
            const ssize_t n =
                send(socket_, pending_.data() + sent, pending_.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            sent += static_cast<std::size_t>(n);
        }
        pending_.clear();
        return true;
    }

    // True when there is something to read (or the connection is closed) within the time.
    bool Ready(int timeoutMs) const { return readFrom_ < read_.size() || Wait(POLLIN, timeoutMs); }

  private:
    bool Wait(short events, int timeoutMs) const {
        pollfd p{socket_, events, 0};
        int n;
        do {
            n = poll(&p, 1, timeoutMs);
        } while (n < 0 && errno == EINTR);
        return n > 0;
    }

    template <typename Query>
    void Address(Query query, std::string& ip, int& port) const {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        char host[NI_MAXHOST] = {};
        char service[NI_MAXSERV] = {};
        if (query(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
            getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, service,
                        sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
            ip = host;
            port = std::atoi(service);
        }
    }

    int socket_;
    int readTimeoutMs_;
    int writeTimeoutMs_;
    std::string read_;
    std::size_t readFrom_ = 0;
    std::string pending_;
};

// The library's server with each answer sent whole (above). A connection serves requests until
// its count or idle time runs out, the client closes it, or the server stops, as the library's
// own loop does.
class WholeAnswerServer : public httplib::Server {
  private:
    bool process_and_close_socket(socket_t sock) override {
        const auto ms = [](time_t sec, time_t usec) {
            return static_cast<int>(sec * 1000 + usec / 1000);
        };
        WholeAnswerStream stream(sock, ms(read_timeout_sec_, read_timeout_usec_),
                                 ms(write_timeout_sec_, write_timeout_usec_));
        bool ok = false;
        for (std::size_t left = keep_alive_max_count_; left > 0 && Waiting(stream); --left) {
            bool closed = false;
            ok = process_request(stream, left == 1, closed, nullptr);
            ok = stream.Flush() && ok;
            if (!ok || closed) {
                break;
            }
        }
        shutdown(sock, SHUT_RDWR);
        close(sock);
        return ok;
    }

    // Waits for the connection's next request: true when there is one, false after the idle
    // time or once the server stops (looked at every 100 ms).
    bool Waiting(const WholeAnswerStream& stream) const {
        const auto until = Clock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
        while (svr_sock_ != INVALID_SOCKET) {
            if (stream.Ready(100)) {
                return true;
            }
            if (Clock::now() >= until) {
                return false;
            }
        }
        return false;
    }
};

}  // namespace

std::string FindWorkerScript() {
    std::error_code error;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
    const auto dir = error ? std::filesystem::path(".") : exe.parent_path();
    for (const auto& candidate :
         {dir / "worker.py", dir / ".." / "share" / "reelhawk-resolver" / "worker.py"}) {
        if (std::filesystem::exists(candidate, error)) {
            return std::filesystem::weakly_canonical(candidate, error).string();
        }
    }
    return (dir / "worker.py").string();
}

Service::Service(const Options& options)
    : options_(options),
      policy_(options.allowPrivate,
              [&] {
                  std::vector<AddressRange> ranges;
                  for (const std::string& text : options.allowAddresses) {
                      ranges.push_back(*ParseAddressRange(text));
                  }
                  return ranges;
              }()),
      trustedProxies_([&] {
          std::vector<AddressRange> ranges;
          for (const std::string& text : options.trustedProxies) {
              ranges.push_back(*ParseAddressRange(text));
          }
          return ranges;
      }()),
      server_(std::make_unique<WholeAnswerServer>()) {
    const std::chrono::seconds ttl(options.cacheTtlSeconds);
    const std::chrono::seconds window(options.rateWindowSeconds);
    const auto entries = static_cast<std::size_t>(options.cacheEntries);
    if (const auto redis = ParseRedisAddress(options.redis)) {
        redis_ = std::make_unique<RedisLink>(*redis);
        results_ = std::make_unique<RedisResults>(*redis_, ttl, entries,
                                                  std::chrono::seconds(options.timeoutSeconds));
        limiter_ = std::make_unique<RedisRateLimiter>(*redis_, options.rateMax, window);
        // Said now rather than at the first request; a failure is said by the link itself.
        if (redis_->Call({{"PING"}})) {
            std::cerr
                << "reelhawk-resolver: results, extractions and rate limits shared in Redis at "
                << redis->text() << std::endl;
        }
    } else {
        results_ = std::make_unique<SharedResults>(ttl, entries);
        limiter_ = std::make_unique<RateLimiter>(options.rateMax, window);
    }
    WorkerSettings settings;
    settings.python = options.python;
    settings.script = FindWorkerScript();
    if (options.allowPrivate) {
        settings.scriptArgs.push_back("--allow-private");
    }
    for (const AddressRange& range : policy_.allowed()) {
        settings.scriptArgs.insert(settings.scriptArgs.end(), {"--allow", range.text});
    }
    for (const AddressRange& range : InternalRanges()) {
        settings.scriptArgs.insert(settings.scriptArgs.end(), {"--deny", range.text});
    }
    settings.scriptArgs.insert(settings.scriptArgs.end(),
                               {"--max-parts", std::to_string(kMaxParts)});
    settings.workers = options.workers;
    settings.queue = options.queue;
    settings.timeout = std::chrono::seconds(options.timeoutSeconds);
    settings.requestsPerWorker = options.workerRequests;
    settings.memoryLimitBytes = static_cast<std::uint64_t>(options.workerMemoryMiB) << 20;
    settings.versionsChanged = [](const std::string& versions) {
        SetSmallPrint(versions.empty() ? "" : "yt-dlp " + versions);
    };
    pool_ = std::make_unique<WorkerPool>(settings);

    httplib::Server& s = *server_;
    // Every request waiting for a worker holds a thread; cached answers must not wait behind them.
    const int threads = 64 + options.workers + options.queue;
    s.new_task_queue = [threads] {
        return new httplib::ThreadPool(static_cast<std::size_t>(threads));
    };
    s.set_keep_alive_max_count(1000);
    // An answer goes out in one write, but without this one written while the connection's
    // previous answer is not yet acknowledged waits for the client's delayed acknowledgement
    // (40 ms).
    s.set_tcp_nodelay(true);
    // The library's default shares the port with any other process (SO_REUSEPORT), so a second
    // instance started on the same port by mistake would quietly take half the requests: only
    // SO_REUSEADDR here, so that it fails to bind instead. The socket is kept to widen its
    // backlog after binding.
    s.set_socket_options([this](int socket) {
        const int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listenSocket_ = socket;
    });
    s.set_payload_max_length(64 * 1024);
    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        requestStarted = Clock::now();
        if (req.path == "/healthz") {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        const RequestLimiter::Decision d = limiter_->Take(Client(req));
        if (!limiter_->enabled()) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        res.set_header("RateLimit-Limit", std::to_string(d.limit));
        res.set_header("RateLimit-Remaining", std::to_string(d.remaining));
        res.set_header("RateLimit-Reset", std::to_string(d.reset));
        res.set_header("RateLimit-Policy", std::to_string(limiter_->max()) +
                                               ";w=" + std::to_string(limiter_->window().count()));
        if (d.allowed) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        res.set_header("Retry-After", std::to_string(d.reset));
        Answer(req, res, req.get_param_value("url"),
               Outcome::Failure(429, "rate_limited",
                                "Too many requests from your address; try again in " +
                                    std::to_string(d.reset) + " s."));
        return httplib::Server::HandlerResponse::Handled;
    });
    s.Get("/", [](const httplib::Request&, httplib::Response& res) {
        NoStore(res);
        res.set_content(WriteFormPage(), kHtml);
    });
    for (const char* path : {"/resolve", "/api/resolve"}) {
        s.Get(path, [this](const httplib::Request& req, httplib::Response& res) {
            ServeResolve(req, res);
        });
    }
    s.Get("/healthz",
          [this](const httplib::Request& req, httplib::Response& res) { ServeHealth(req, res); });
    s.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty()) {
            return;
        }
        const Outcome missing =
            Outcome::Failure(res.status, "not_found", "There is no such page here.");
        if (req.path.starts_with("/api/")) {
            res.set_content(DumpJson(OutcomeToJson(missing)), kJson);
        }
    });
    s.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        AccessLog(Client(req), req, res);
    });
}

Service::~Service() = default;

bool Service::Bind() {
    if (options_.port == 0) {
        port_ = server_->bind_to_any_port(options_.host);
    } else {
        port_ = server_->bind_to_port(options_.host, options_.port) ? options_.port : -1;
    }
    // The library listens with a backlog of 5: a burst of new connections would lose SYNs and
    // wait a second for their retry. Listening again on the bound socket takes the wider one.
    if (port_ > 0 && listenSocket_ >= 0) {
        listen(listenSocket_, SOMAXCONN);
    }
    if (port_ <= 0) {
        std::cerr << "reelhawk-resolver: cannot listen on " << options_.host << ":" << options_.port
                  << "\n";
        return false;
    }
    const bool v6 = options_.host.find(':') != std::string::npos;
    std::cerr << "reelhawk-resolver " << kVersion << " listening on http://"
              << (v6 ? "[" + options_.host + "]" : options_.host) << ":" << port_ << "/ with "
              << options_.workers << " workers" << std::endl;
    return true;
}

void Service::Run() {
    server_->listen_after_bind();
    // The requests in flight have been answered; the workers end now.
    pool_->Stop();
    pool_.reset();
    std::cerr << "reelhawk-resolver: stopped" << std::endl;
}

void Service::Stop() {
    stopping_ = true;
    server_->stop();
}

void Service::Reload() {
    std::cerr << "reelhawk-resolver: reloading: every worker is replaced, one at a time"
              << std::endl;
    pool_->Reload();
}

std::string Service::Client(const httplib::Request& req) const {
    if (trustedProxies_.empty()) {
        return req.remote_addr;
    }
    std::string forwarded;
    const std::size_t n = req.get_header_value_count("X-Forwarded-For");
    for (std::size_t i = 0; i < n; ++i) {
        forwarded += (i > 0 ? "," : "") + req.get_header_value("X-Forwarded-For", i);
    }
    return ClientAddress(req.remote_addr, trustedProxies_, forwarded,
                         req.get_header_value("X-Real-IP"));
}

Outcome Service::ResolveAddress(const std::string& asked, std::string* cache) {
    std::string why;
    const auto address = ParseWebAddress(asked, &why);
    if (!address) {
        return Outcome::Failure(400, "bad_address", why);
    }
    // An address literal is looked up as itself, so one check covers names and addresses; with
    // everything allowed there is nothing to look up.
    if (!options_.allowPrivate) {
        if (std::string refused = policy_.CheckHost(address->host); !refused.empty()) {
            return Outcome::Failure(400, "address_refused", refused);
        }
    }
    const ResultStore::Answer answer =
        results_->Resolve(asked, [&] { return pool_->Extract(asked); });
    *cache = answer.cacheHit ? "hit" : answer.shared ? "shared" : "miss";
    return answer.outcome;
}

void Service::ServeResolve(const httplib::Request& req, httplib::Response& res) {
    const std::string asked = Trim(req.get_param_value("url"));
    std::string cache = "-";
    const Outcome outcome = ResolveAddress(asked, &cache);
    res.set_header("X-Cache", cache);
    Answer(req, res, asked, outcome);
}

void Service::ServeHealth(const httplib::Request&, httplib::Response& res) {
    const PoolStatus p = pool_->Status();
    // Redis fallen back still serves (from this instance's memory), so it does not count here;
    // a worker still warming up does not serve yet.
    const bool ready = p.ready > 0 && !stopping_;
    res.status = ready ? 200 : 503;
    NoStore(res);
    // A Redis fallen back to is tried again here too (at most once a second), so that the
    // answer follows Redis even while no request comes.
    if (redis_) {
        redis_->Call({{"PING"}});
    }
    const char* redis = !redis_ ? "off" : redis_->connected() ? "connected" : "fallback";
    // The yt-dlp of the workers taking requests: two while a reload is half done.
    std::string versions;
    for (const std::string& version : p.versions) {
        versions += (versions.empty() ? "" : ", ") + version;
    }
    const nlohmann::json health = {
        {"ready", ready},
        {"status", ready       ? "ok"
                   : stopping_ ? "stopping"
                               : "unavailable"},
        {"redis", redis},
        {"yt_dlp", versions.empty() ? nlohmann::json() : nlohmann::json(versions)},
        {"workers",
         {{"configured", options_.workers},
          {"alive", p.alive},
          {"ready", p.ready},
          {"busy", p.busy},
          {"started", p.started},
          {"replaced", p.replaced},
          {"killed", p.killed},
          {"not_ready", p.notReady}}},
        {"queue", {{"waiting", p.queued}, {"limit", options_.queue}}},
        {"cache", {{"entries", results_->size()}, {"ttl", options_.cacheTtlSeconds}}},
    };
    res.set_content(DumpJson(health), kJson);
}

}  // namespace resolver
