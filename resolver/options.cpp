// options: the command line, parsed with CLI11.
#include "options.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <iostream>
#include <thread>

#include "address_guard.h"
#include "http_front.h"
#include "redis_store.h"
#include "worker_pool.h"

namespace resolver {
namespace {

bool ParseInt(std::string_view text, int& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::optional<Options> ParseOptions(int argc, char** argv, int* exitCode) {
    Options o;
    CLI::App app{"reelhawk-resolver: the video-address resolving page and JSON API, on yt-dlp"};
    std::string listen = o.host + ":" + std::to_string(o.port);
    std::string rate = "20/60";
    bool version = false;
    app.add_option("--listen", listen, "HOST:PORT to listen on ([::1]:PORT for IPv6; port 0: any)")
        ->capture_default_str();
    app.add_option("--workers", o.workers, "extraction worker processes (default: one per core)")
        ->check(CLI::Range(1, 256));
    app.add_option("--queue", o.queue, "requests that may wait for a worker; beyond: 503")
        ->capture_default_str()
        ->check(CLI::Range(0, 100000));
    app.add_option("--timeout", o.timeoutSeconds, "seconds a request may take")
        ->capture_default_str()
        ->check(CLI::Range(1, 3600));
    app.add_option("--cache-ttl", o.cacheTtlSeconds, "seconds a finished result is kept (0: none)")
        ->capture_default_str()
        ->check(CLI::Range(0, 86400));
    app.add_option("--rate", rate, "MAX/SECONDS per client (0: no limit)")->capture_default_str();
    app.add_flag("--allow-private", o.allowPrivate,
                 "resolve addresses on loopback, private and other internal networks too");
    app.add_option("--allow-address", o.allowAddresses,
                   "CIDR range let through although internal (repeatable)");
    app.add_option("--worker-requests", o.workerRequests, "requests before a worker is replaced")
        ->capture_default_str()
        ->check(CLI::Range(1, 1000000));
    app.add_option("--worker-memory", o.workerMemoryMiB,
                   "MiB of resident memory past which a worker is replaced")
        ->capture_default_str()
        ->check(CLI::Range(16, 1 << 20));
    app.add_option("--python", o.python, "Python interpreter with yt-dlp")->capture_default_str();
    app.add_option("--redis", o.redis,
                   "redis://HOST:PORT to keep results, extractions in flight and rate limits in, "
                   "shared with other instances (default: this process's memory)");
    app.add_option("--trusted-proxy", o.trustedProxies,
                   "address or CIDR range of a proxy whose X-Forwarded-For and X-Real-IP name the "
                   "client (repeatable)");
    app.add_option("--max-connections", o.maxConnections,
                   "connections at once; past it the one idle longest is closed")
        ->capture_default_str()
        ->check(CLI::Range(16, 1 << 20));
    app.add_option("--request-timeout", o.requestTimeoutSeconds,
                   "seconds a client may take to send a request once it has begun; slower "
                   "clients are dropped")
        ->capture_default_str()
        ->check(CLI::Range(1, 600));
    app.add_option("--tunnel", o.tunnel,
                   "which files are listed as the service's own address, fetched by it with the "
                   "headers, cookies and address they need: auto (those the host refuses without "
                   "them, and those bound to this machine), always, never")
        ->capture_default_str()
        ->check(CLI::IsMember({"auto", "always", "never"}));
    app.add_option("--public-url", o.publicUrl,
                   "the service's address as clients reach it, for the addresses it lists "
                   "(default: the Host each client asked with)");
    app.add_option("--tunnel-ttl", o.tunnelTtlSeconds,
                   "seconds a tunnel address lives after it was made or last used")
        ->capture_default_str()
        ->check(CLI::Range(60, 7 * 86400));
    app.add_option("--tunnel-streams", o.tunnelStreams,
                   "tunnel downloads at once on this instance; beyond: 503")
        ->capture_default_str()
        ->check(CLI::Range(1, 100000));
    app.add_option("--tunnel-client-streams", o.tunnelClientStreams,
                   "tunnel downloads at once per client; beyond: 429")
        ->capture_default_str()
        ->check(CLI::Range(1, 100000));
    app.add_option("--merges", o.merges,
                   "ffmpeg processes joining picture and sound at once; beyond: 503 (default: "
                   "twice the cores)")
        ->check(CLI::Range(1, 10000));
    app.add_option("--max-duration", o.maxDurationSeconds,
                   "seconds of video above which no merged file is offered")
        ->capture_default_str()
        ->check(CLI::Range(1, 1000000));
    app.add_flag("--version", version,
                 "print the version, and that of the yt-dlp --python runs, and end");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        *exitCode = app.exit(e);
        return std::nullopt;
    }
    if (version) {
        // And the yt-dlp that --python would run, asked of that Python through the worker.
        const std::string ytdlp = AskYtDlpVersion(o.python, FindWorkerScript());
        std::cout << "reelhawk-resolver " << kVersion << "\n"
                  << "yt-dlp "
                  << (ytdlp.empty() ? "unknown (" + o.python +
                                          " did not name it: is yt-dlp installed for it?)"
                                    : ytdlp + " (" + o.python + ")")
                  << "\n";
        *exitCode = 0;
        return std::nullopt;
    }
    auto usage = [&](const std::string& message) -> std::optional<Options> {
        std::cerr << "reelhawk-resolver: " << message << "\n";
        *exitCode = 2;
        return std::nullopt;
    };
    // HOST:PORT, the host of an IPv6 address in brackets.
    const std::size_t colon = listen.rfind(':');
    if (colon == std::string::npos ||
        !ParseInt(std::string_view(listen).substr(colon + 1), o.port) || o.port < 0 ||
        o.port > 65535) {
        return usage("--listen takes HOST:PORT, such as 127.0.0.1:8765");
    }
    o.host = listen.substr(0, colon);
    if (o.host.size() >= 2 && o.host.front() == '[' && o.host.back() == ']') {
        o.host = o.host.substr(1, o.host.size() - 2);
    }
    if (rate == "0") {
        o.rateMax = 0;
    } else {
        const std::size_t slash = rate.find('/');
        if (slash == std::string::npos ||
            !ParseInt(std::string_view(rate).substr(0, slash), o.rateMax) ||
            !ParseInt(std::string_view(rate).substr(slash + 1), o.rateWindowSeconds) ||
            o.rateMax < 0 || o.rateWindowSeconds < 1) {
            return usage("--rate takes MAX/SECONDS, such as 20/60, or 0");
        }
    }
    for (const std::string& range : o.allowAddresses) {
        if (!ParseAddressRange(range)) {
            return usage("--allow-address takes a CIDR range, such as 203.0.113.0/24: " + range);
        }
    }
    for (const std::string& proxy : o.trustedProxies) {
        if (!ParseAddressRange(proxy)) {
            return usage("--trusted-proxy takes an address or a CIDR range, such as 127.0.0.1: " +
                         proxy);
        }
    }
    if (!o.redis.empty() && !ParseRedisAddress(o.redis)) {
        return usage("--redis takes redis://HOST:PORT, such as redis://127.0.0.1:6379: " + o.redis);
    }
    if (!o.publicUrl.empty()) {
        while (o.publicUrl.ends_with('/')) {
            o.publicUrl.pop_back();
        }
        std::string why;
        const auto parsed = ParseWebAddress(o.publicUrl, &why);
        const std::size_t path = o.publicUrl.find('/', o.publicUrl.find("//") + 2);
        if (!parsed || path != std::string::npos ||
            o.publicUrl.find_first_of("?#") != std::string::npos) {
            return usage(
                "--public-url takes http(s)://HOST[:PORT], such as https://resolver.example: " +
                o.publicUrl);
        }
    }
    if (o.merges == 0) {
        o.merges = 2 * static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    }
    if (o.workers == 0) {
        o.workers = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    }
    return o;
}

}  // namespace resolver
