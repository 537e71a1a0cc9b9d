// http_front: the service's HTTP side: the form and result pages, the JSON API, /healthz, the
// rate limit and the access log, over the worker pool and the shared results.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "address_guard.h"
#include "options.h"
#include "result_cache.h"
#include "shared_store.h"
#include "worker_pool.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace resolver {

class Service {
  public:
    // Starts the workers (with the worker script found beside the program).
    explicit Service(const Options& options);
    ~Service();

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
    Outcome ResolveAddress(const std::string& asked, std::string* cache);
    void ServeResolve(const httplib::Request& req, httplib::Response& res);
    void ServeHealth(const httplib::Request& req, httplib::Response& res);
    // The client's address: the connection's, or the one a trusted proxy forwarded.
    std::string Client(const httplib::Request& req) const;

    Options options_;
    AddressPolicy policy_;
    std::vector<AddressRange> trustedProxies_;
    std::unique_ptr<WorkerPool> pool_;
    std::unique_ptr<RedisLink> redis_;  // none without --redis; outlives the two below
    std::unique_ptr<ResultStore> results_;
    std::unique_ptr<RequestLimiter> limiter_;
    std::atomic<bool> stopping_ = false;
    std::unique_ptr<httplib::Server> server_;
    int port_ = 0;
    int listenSocket_ = -1;
};

// The worker script: beside the program, else in ../share/reelhawk-resolver/.
std::string FindWorkerScript();

}  // namespace resolver
