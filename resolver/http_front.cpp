// http_front: routes, statuses, headers and the access log.
#include "http_front.h"

#include <boost/asio/post.hpp>
#include <boost/beast/http/field.hpp>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <thread>

#include "access_log.h"
#include "page_writer.h"

namespace resolver {
namespace {

namespace net = boost::asio;
using boost::beast::http::field;
using boost::beast::http::fields;
using boost::beast::http::verb;

constexpr const char* kJson = "application/json; charset=utf-8";

// Threads for the calls that wait for the network: enough for Redis's round trips under load.
constexpr int kBlockingThreads = 8;
// Tunnel records kept in memory (without Redis, or while it fails): a record is about 1 KiB.
constexpr std::size_t kMemoryTunnels = 100'000;

std::string Trim(const std::string& text) {
    const std::size_t from = text.find_first_not_of(" \t\r\n");
    if (from == std::string::npos) {
        return {};
    }
    return text.substr(from, text.find_last_not_of(" \t\r\n") - from + 1);
}

bool IsApi(const http::Exchange& exchange) {
    return exchange.path().starts_with("/api/");
}

// The headers every answer carries: nothing is to be guessed from content, the pages take
// nothing from elsewhere and run no script, nobody frames them, and no address leaves as a
// Referer.
fields CommonHeaders() {
    fields common;
    common.set("X-Content-Type-Options", "nosniff");
    common.set("Content-Security-Policy",
               "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; "
               "frame-ancestors 'none'; base-uri 'none'");
    common.set("Referrer-Policy", "no-referrer");
    return common;
}

// The answer for an outcome: the result page, or JSON under /api/; file addresses expire and
// differ per client, so nothing may keep them. A busy service asks to be tried again shortly.
http::Reply OutcomeReply(const http::Exchange& exchange, const std::string& asked, const Kept& kept,
                         fields headers, const std::string& base) {
    const Outcome& outcome = kept->outcome();
    const bool api = IsApi(exchange);
    http::Reply reply;
    reply.status = outcome.resolution ? 200 : outcome.status;
    reply.headers = std::move(headers);
    reply.headers.set(field::cache_control, "no-store");
    reply.headers.set(field::content_type, api ? kJson : kHtml);
    if (outcome.status == 503 && reply.headers.find(field::retry_after) == reply.headers.end()) {
        reply.headers.set(field::retry_after, "5");
    }
    reply.body = kept->Written((api ? "json " : "page ") + base, [&] {
        return api ? DumpJson(OutcomeToJson(outcome, base)) : WriteResultPage(asked, outcome, base);
    });
    return reply;
}

// The answer for a route that does not exist, or a request the server refuses.
http::Reply ErrorReply(unsigned status, const std::string& path) {
    const std::string message = status == 404   ? "There is no such page here."
                                : status == 405 ? "Only GET and HEAD are answered here."
                                : status == 413 ? "The request is too large."
                                : status == 431 ? "The request's header is too large."
                                                : "The request was not understood.";
    const std::string code = status == 404 ? "not_found" : "bad_request";
    const Outcome failure = Outcome::Failure(static_cast<int>(status), code, message);
    if (path.starts_with("/api/")) {
        return http::Reply::Text(status, kJson, DumpJson(OutcomeToJson(failure)));
    }
    return http::Reply::Text(status, kHtml, WriteSentencePage(message));
}

std::vector<AddressRange> Ranges(const std::vector<std::string>& texts) {
    std::vector<AddressRange> ranges;
    for (const std::string& text : texts) {
        ranges.push_back(*ParseAddressRange(text));
    }
    return ranges;
}

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
      policy_(options.allowPrivate, Ranges(options.allowAddresses)),
      trustedProxies_(Ranges(options.trustedProxies)),
      blocking_(kBlockingThreads) {
    // A kept result lists tunnel addresses: it is kept no longer than half their life.
    const bool tunnelling = options.tunnel != "never";
    const std::chrono::seconds ttl(
        tunnelling ? std::min(options.cacheTtlSeconds, options.tunnelTtlSeconds / 2)
                   : options.cacheTtlSeconds);
    const std::chrono::seconds window(options.rateWindowSeconds);
    const auto entries = static_cast<std::size_t>(options.cacheEntries);
    if (const auto redis = ParseRedisAddress(options.redis)) {
        redis_ = std::make_unique<RedisLink>(*redis);
        results_ = std::make_unique<RedisResults>(*redis_, blocking_.get_executor(), ttl, entries);
        limiter_ = std::make_unique<RedisRateLimiter>(*redis_, options.rateMax, window);
        tunnelStore_ = std::make_unique<RedisTunnels>(*redis_, kMemoryTunnels);
        // Said now rather than at the first request; a failure is said by the link itself.
        if (redis_->Call({{"PING"}})) {
            std::cerr
                << "reelhawk-resolver: results, extractions and rate limits shared in Redis at "
                << redis->text() << std::endl;
        }
    } else {
        results_ = std::make_unique<MemoryResults>(ttl, entries);
        limiter_ = std::make_unique<RateLimiter>(options.rateMax, window);
        tunnelStore_ = std::make_unique<MemoryTunnels>(kMemoryTunnels);
    }
    upstream_ = std::make_unique<UpstreamContext>(policy_);
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
    // The page's own time limit, inside the request's, so that a page that does not answer is
    // said to be that rather than the request's time running out.
    const int socketTimeout = std::clamp(options.timeoutSeconds / 2, 1, 15);
    settings.scriptArgs.insert(settings.scriptArgs.end(),
                               {"--max-parts", std::to_string(kMaxParts), "--socket-timeout",
                                std::to_string(socketTimeout)});
    settings.workers = options.workers;
    settings.queue = options.queue;
    settings.timeout = std::chrono::seconds(options.timeoutSeconds);
    settings.requestsPerWorker = options.workerRequests;
    settings.memoryLimitBytes = static_cast<std::uint64_t>(options.workerMemoryMiB) << 20;
    settings.versionsChanged = [](const std::string& versions) {
        SetSmallPrint(versions.empty() ? "" : "yt-dlp " + versions);
    };
    pool_ = std::make_unique<WorkerPool>(settings);

    TunnelSettings tunnel;
    tunnel.mode = options.tunnel == "always"  ? TunnelMode::Always
                  : options.tunnel == "never" ? TunnelMode::Never
                                              : TunnelMode::Auto;
    tunnel.ttl = std::chrono::seconds(options.tunnelTtlSeconds);
    tunnel.streams = options.tunnelStreams;
    tunnel.clientStreams = options.tunnelClientStreams;
    tunnel.timeout = std::chrono::seconds(options.timeoutSeconds);
    tunnels_ = std::make_unique<Tunnels>(
        tunnel, io_, blocking_.get_executor(), *upstream_, *tunnelStore_,
        [this](const std::string& page, Deadline deadline, OutcomeDone done) {
            pool_->Extract(page, deadline, std::move(done));
        });
    MergeSettings merge;
    merge.merges = options.merges;
    merge.maxDuration = std::chrono::seconds(options.maxDurationSeconds);
    merge.timeout = std::chrono::seconds(options.timeoutSeconds);
    merges_ = std::make_unique<Merges>(merge, io_, *tunnels_);
    if (!merges_->available()) {
        std::cerr << "reelhawk-resolver: ffmpeg is not on PATH: no merged files are offered"
                  << std::endl;
    }
    // A merged file comes through the tunnel: without it (--tunnel never) there is none.
    if (tunnel.mode != TunnelMode::Never) {
        tunnels_->SetFinisher([this](Resolution& resolution, const std::string& page) {
            merges_->AddMergedFiles(resolution, page);
        });
    }
    tunnels_->SetInputFailed([this](const std::string& merge, const std::string& why) {
        merges_->InputFailed(merge, why);
    });

    http::ServerSettings server;
    server.maxConnections = static_cast<std::size_t>(options.maxConnections);
    server.requestTimeout = std::chrono::seconds(options.requestTimeoutSeconds);
    server.commonHeaders = CommonHeaders();
    server.errorReply = ErrorReply;
    server_ = std::make_unique<http::Server>(
        io_, std::move(server), [this](ExchangePtr exchange) { Handle(std::move(exchange)); },
        [this](const http::Exchange& exchange, const http::Ending& ending) {
            Log(exchange, ending);
        });
}

Service::~Service() {
    server_.reset();
    merges_.reset();
    tunnels_.reset();
    pool_.reset();
    blocking_.stop();
    blocking_.join();
}

bool Service::Bind() {
    std::string why;
    port_ = server_->Listen(options_.host, static_cast<unsigned short>(options_.port), &why);
    if (port_ <= 0) {
        std::cerr << "reelhawk-resolver: cannot listen on " << options_.host << ":" << options_.port
                  << " (" << why << ")\n";
        return false;
    }
    const bool v6 = options_.host.find(':') != std::string::npos;
    // ffmpeg reads a merge's inputs from the service itself, on loopback when it listens on
    // every address.
    const std::string self = options_.host == "0.0.0.0" ? "127.0.0.1"
                             : options_.host == "::"    ? "[::1]"
                             : v6                       ? "[" + options_.host + "]"
                                                        : options_.host;
    merges_->SetLoopback("http://" + self + ":" + std::to_string(port_));
    std::cerr << "reelhawk-resolver " << kVersion << " listening on http://"
              << (v6 ? "[" + options_.host + "]" : options_.host) << ":" << port_ << "/ with "
              << options_.workers << " workers" << std::endl;
    return true;
}

void Service::Run() {
    server_->Start();
    // A few threads serve every connection; each connection's work runs on its own strand.
    const unsigned threads = std::max(2u, std::thread::hardware_concurrency());
    std::vector<std::thread> serving;
    for (unsigned i = 1; i < threads; ++i) {
        serving.emplace_back([this] { io_.run(); });
    }
    io_.run();
    for (std::thread& thread : serving) {
        thread.join();
    }
    // The requests in flight have been answered; the workers end now.
    pool_->Stop();
    pool_.reset();
    std::cerr << "reelhawk-resolver: stopped" << std::endl;
}

void Service::Stop() {
    stopping_ = true;
    server_->Stop();
    // A merge in flight is a stream: cut, and its ffmpeg ended with it.
    merges_->KillAll();
}

void Service::Reload() {
    std::cerr << "reelhawk-resolver: reloading: every worker is replaced, one at a time"
              << std::endl;
    pool_->Reload();
}

std::string Service::Client(const http::Exchange& exchange) const {
    if (trustedProxies_.empty()) {
        return exchange.peer();
    }
    std::string forwarded;
    const auto& request = exchange.request();
    for (auto [it, end] = request.equal_range("X-Forwarded-For"); it != end; ++it) {
        forwarded += (forwarded.empty() ? "" : ",") + std::string(it->value());
    }
    const auto realIp = request.find("X-Real-IP");
    const std::string_view real =
        realIp == request.end() ? std::string_view() : std::string_view(realIp->value());
    return ClientAddress(exchange.peer(), trustedProxies_, forwarded, real);
}

void Service::Log(const http::Exchange& exchange, const http::Ending& ending) {
    AccessEntry entry;
    entry.client = Client(exchange);
    entry.status = ending.status;
    entry.method = std::string(exchange.request().method_string());
    entry.path = exchange.path();
    // A tunnel's address carries the key of its record: only the start of its name is logged.
    const bool download = entry.path.starts_with("/t/") || entry.path.starts_with("/m/");
    if (download && entry.path.size() > 11) {
        const std::size_t end = entry.path.find('/', 3);
        entry.path = entry.path.substr(0, 11) + "..." +
                     (end == std::string::npos ? std::string() : entry.path.substr(end));
    }
    if (exchange.HasQuery("url")) {
        entry.asked = exchange.Query("url");
    }
    entry.milliseconds =
        std::chrono::duration<double, std::milli>(Clock::now() - exchange.started()).count();
    if (ending.headers) {
        if (const auto cache = ending.headers->find("X-Cache"); cache != ending.headers->end()) {
            entry.cache = std::string(cache->value());
        }
    }
    if (ending.streamed || download) {
        entry.bytes = ending.bodyBytes;
    }
    entry.failure = ending.failure;
    WriteAccessLog(entry);
}

void Service::Handle(ExchangePtr exchange) {
    const verb method = exchange->request().method();
    if (method != verb::get && method != verb::head) {
        http::Reply reply = ErrorReply(405, exchange->path());
        reply.headers.set(field::allow, "GET, HEAD");
        exchange->Respond(std::move(reply));
        return;
    }
    if (exchange->path() == "/healthz") {
        ServeHealth(exchange);
        return;
    }
    // Downloads are not counted against the rate limit (which limits resolving): one download
    // may be many range requests. They have limits of their own.
    if (exchange->path().starts_with("/t/")) {
        // A merge's ffmpeg reading its input says which merge it works for.
        const auto merge = exchange->request().find("X-Reelhawk-Merge");
        const std::string id =
            merge == exchange->request().end() ? std::string() : std::string(merge->value());
        tunnels_->Serve(exchange, Client(*exchange), merges_->Internal(id) ? id : std::string());
        return;
    }
    if (exchange->path().starts_with("/m/")) {
        merges_->Serve(exchange);
        return;
    }
    if (!limiter_->enabled()) {
        Route(std::move(exchange), {});
        return;
    }
    auto limit = [this, exchange] {
        const RequestLimiter::Decision d = limiter_->Take(Client(*exchange));
        fields limits;
        limits.set("RateLimit-Limit", std::to_string(d.limit));
        limits.set("RateLimit-Remaining", std::to_string(d.remaining));
        limits.set("RateLimit-Reset", std::to_string(d.reset));
        limits.set("RateLimit-Policy", std::to_string(limiter_->max()) +
                                           ";w=" + std::to_string(limiter_->window().count()));
        if (d.allowed) {
            Route(exchange, std::move(limits));
            return;
        }
        limits.set(field::retry_after, std::to_string(d.reset));
        const auto kept = std::make_shared<const KeptOutcome>(
            Outcome::Failure(429, "rate_limited",
                             "Too many requests from your address; try again in " +
                                 std::to_string(d.reset) + " s."));
        exchange->Respond(OutcomeReply(*exchange, exchange->Query("url"), kept, std::move(limits),
                                       PublicBase(*exchange)));
    };
    // Counted in Redis, the limit waits for a round trip: not on a serving thread.
    if (limiter_->blocking()) {
        net::post(blocking_, std::move(limit));
    } else {
        limit();
    }
}

void Service::Route(ExchangePtr exchange, fields limits) {
    const std::string& path = exchange->path();
    if (path == "/") {
        http::Reply reply = http::Reply::Text(200, kHtml, WriteFormPage());
        for (const auto& f : limits) {
            reply.headers.set(f.name_string(), f.value());
        }
        reply.headers.set(field::cache_control, "no-store");
        exchange->Respond(std::move(reply));
    } else if (path == "/resolve" || path == "/api/resolve") {
        ServeResolve(std::move(exchange), std::move(limits));
    } else {
        http::Reply reply = ErrorReply(404, path);
        for (const auto& f : limits) {
            reply.headers.set(f.name_string(), f.value());
        }
        exchange->Respond(std::move(reply));
    }
}

void Service::ServeResolve(ExchangePtr exchange, fields limits) {
    const std::string asked = Trim(exchange->Query("url"));
    std::string why;
    const auto address = ParseWebAddress(asked, &why);
    if (!address) {
        limits.set("X-Cache", "-");
        const auto kept =
            std::make_shared<const KeptOutcome>(Outcome::Failure(400, "bad_address", why));
        exchange->Respond(OutcomeReply(*exchange, asked, kept, std::move(limits), ""));
        return;
    }
    const Deadline deadline = exchange->started() + std::chrono::seconds(options_.timeoutSeconds);
    // The host is checked only when there is something to extract: a kept answer was checked
    // when it was extracted, and the worker checks every connection anyway.
    results_->Resolve(
        asked, deadline,
        [this, asked, host = address->host](Deadline deadline, OutcomeDone done) {
            Extract(asked, host, deadline, std::move(done));
        },
        [this, exchange, asked, limits = std::move(limits)](ResultStore::Answer answer) mutable {
            limits.set("X-Cache", answer.cacheHit ? "hit" : answer.shared ? "shared" : "miss");
            exchange->Respond(OutcomeReply(*exchange, asked, answer.kept, std::move(limits),
                                           PublicBase(*exchange)));
        });
}

void Service::Extract(const std::string& asked, const std::string& host, Deadline deadline,
                      OutcomeDone done) {
    // What the worker found, with the files that need the service's tunnel given their address.
    auto extracted = [this, asked, deadline, done = std::move(done)](Outcome outcome) mutable {
        if (!outcome.resolution) {
            done(std::move(outcome));
            return;
        }
        Resolution resolution = std::move(*outcome.resolution);
        tunnels_->Prepare(
            std::move(resolution), asked, deadline,
            [outcome = std::move(outcome), done = std::move(done)](Resolution listed) mutable {
                outcome.resolution = std::move(listed);
                done(std::move(outcome));
            });
    };
    // With everything allowed there is nothing to look up; an address literal is looked up as
    // itself, so one check covers names and addresses.
    if (options_.allowPrivate) {
        pool_->Extract(asked, deadline, std::move(extracted));
        return;
    }
    net::post(blocking_, [this, asked, host, deadline, extracted = std::move(extracted)]() mutable {
        if (std::string refused = policy_.CheckHost(host); !refused.empty()) {
            extracted(Outcome::Failure(400, "address_refused", refused));
            return;
        }
        pool_->Extract(asked, deadline, std::move(extracted));
    });
}

std::string Service::PublicBase(const http::Exchange& exchange) const {
    if (!options_.publicUrl.empty()) {
        return options_.publicUrl;
    }
    const auto& request = exchange.request();
    auto field = [&](std::string_view name) {
        const auto it = request.find(name);
        return it == request.end() ? std::string() : std::string(it->value());
    };
    std::string scheme = "http";
    std::string host = field("Host");
    // Behind a proxy we trust, the address the client used is the one it forwarded.
    if (const auto peer = ParseIpAddress(exchange.peer());
        peer && std::any_of(trustedProxies_.begin(), trustedProxies_.end(),
                            [&](const AddressRange& r) { return r.Contains(*peer); })) {
        const std::string proto = field("X-Forwarded-Proto");
        if (proto == "https" || proto == "http") {
            scheme = proto;
        }
        if (const std::string forwarded = field("X-Forwarded-Host"); !forwarded.empty()) {
            host = forwarded.substr(0, forwarded.find(','));
        }
    }
    // A host is letters, digits, dots, dashes, an IPv6 address in brackets and a port: anything
    // else is not written into a page.
    const bool sane =
        !host.empty() && host.size() <= 255 &&
        std::all_of(host.begin(), host.end(), [](unsigned char c) {
            return std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
        });
    if (!sane) {
        const bool v6 = options_.host.find(':') != std::string::npos;
        host = (v6 ? "[" + options_.host + "]" : options_.host) + ":" + std::to_string(port_);
    }
    return scheme + "://" + host;
}

void Service::ServeHealth(const ExchangePtr& exchange) {
    const PoolStatus p = pool_->Status();
    // Redis fallen back still serves (from this instance's memory), so it does not count here;
    // a worker still warming up does not serve yet.
    const bool ready = p.ready > 0 && !stopping_;
    auto answer = [this, exchange, p, ready] {
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
            {"connections", server_->connections()},
            {"tunnels", {{"mode", options_.tunnel}, {"streams", tunnels_->streams()}}},
            {"merges", {{"running", merges_->running()}, {"limit", options_.merges}}},
        };
        http::Reply reply = http::Reply::Text(ready ? 200 : 503, kJson, DumpJson(health));
        reply.headers.set(field::cache_control, "no-store");
        exchange->Respond(std::move(reply));
    };
    if (redis_) {
        net::post(blocking_, std::move(answer));
    } else {
        answer();
    }
}

}  // namespace resolver
