// http_front: the service's HTTP side: the form and result pages, the JSON API, /healthz, the
// rate limit and the access log, over the worker pool and the kept results; served by
// http_server on a few threads whatever the number of connections.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "address_guard.h"
#include "http_server.h"
#include "merge.h"
#include "options.h"
#include "rate_limit.h"
#include "redis_store.h"
#include "result_cache.h"
#include "tunnel.h"
#include "tunnel_store.h"
#include "upstream.h"
#include "worker_pool.h"

namespace resolver {

class Service {
  public:
    // Starts the workers (with the worker script found beside the program).
    explicit Service(const Options& options);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Binds the listening address. Returns false (said on stderr) when it cannot.
    bool Bind();
    // Serves until Stop(); then lets the requests in flight finish and ends the workers.
    void Run();
    // Stops taking requests. Safe from any thread, once or more.
    void Stop();
    // Replaces every worker, one at a time, each warm before it takes requests (SIGHUP). Safe
    // from any thread. This function can't fail.
    void Reload();

    int port() const { return port_; }

  private:
    using ExchangePtr = std::shared_ptr<http::Exchange>;

    void Handle(ExchangePtr exchange);
    // After the rate limit: the route. limits: the RateLimit-* headers to answer with.
    void Route(ExchangePtr exchange, boost::beast::http::fields limits);
    void ServeResolve(ExchangePtr exchange, boost::beast::http::fields limits);
    void ServeHealth(const ExchangePtr& exchange);
    // Starts the extraction of an address that has passed the guard's parsing.
    void Extract(const std::string& asked, const std::string& host, Deadline deadline,
                 OutcomeDone done);
    void Log(const http::Exchange& exchange, const http::Ending& ending);
    // The client's address: the connection's, or the one a trusted proxy forwarded.
    std::string Client(const http::Exchange& exchange) const;
    // Where the client reaches the service, for the addresses it lists: --public-url, else the
    // scheme and Host it asked with (as a trusted proxy forwarded them), else the listening one.
    std::string PublicBase(const http::Exchange& exchange) const;

    Options options_;
    AddressPolicy policy_;
    std::vector<AddressRange> trustedProxies_;
    boost::asio::io_context io_;
    // Where calls that wait for the network (Redis, the host's DNS check) run, never on the
    // threads that serve the connections.
    boost::asio::thread_pool blocking_;
    std::unique_ptr<WorkerPool> pool_;
    std::unique_ptr<RedisLink> redis_;  // none without --redis; outlives the two below
    std::unique_ptr<ResultStore> results_;
    std::unique_ptr<RequestLimiter> limiter_;
    std::unique_ptr<UpstreamContext> upstream_;
    std::unique_ptr<TunnelStore> tunnelStore_;
    std::unique_ptr<Tunnels> tunnels_;
    std::unique_ptr<Merges> merges_;
    std::unique_ptr<http::Server> server_;
    std::atomic<bool> stopping_ = false;
    int port_ = 0;
};

// The worker script: beside the program, else in ../share/reelhawk-resolver/.
std::string FindWorkerScript();

}  // namespace resolver
