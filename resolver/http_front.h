// http_front: the service's HTTP side: the form and result pages, the JSON API, /healthz, the
// rate limit and the access log, over the worker pool and the shared results.
#pragma once

#include <memory>
#include <string>

#include "address_guard.h"
#include "options.h"
#include "result_cache.h"
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

    int port() const { return port_; }

  private:
    Outcome ResolveAddress(const std::string& asked, std::string* cache);
    void ServeResolve(const httplib::Request& req, httplib::Response& res);
    void ServeHealth(const httplib::Request& req, httplib::Response& res);

    Options options_;
    AddressPolicy policy_;
    std::unique_ptr<WorkerPool> pool_;
    SharedResults results_;
    RateLimiter limiter_;
    std::unique_ptr<httplib::Server> server_;
    int port_ = 0;
    int listenSocket_ = -1;
};

// The worker script: beside the program, else in ../share/reelhawk-resolver/.
std::string FindWorkerScript();

}  // namespace resolver
