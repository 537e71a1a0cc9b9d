// result_cache: finished outcomes kept for a short time, and one extraction shared by every
// identical request that arrives while it runs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "resolution.h"

namespace resolver {

using SteadyNow = std::function<std::chrono::steady_clock::time_point()>;

class SharedResults {
  public:
    // ttl 0 keeps nothing (identical requests in flight are still shared). At most maxEntries
    // outcomes are kept, the least recently used going first.
    SharedResults(std::chrono::seconds ttl, std::size_t maxEntries,
                  SteadyNow now = std::chrono::steady_clock::now);

    struct Answer {
        Outcome outcome;
        bool cacheHit = false;  // from the kept outcomes
        bool shared = false;    // from another request's extraction in flight
    };

    // The outcome for the address: kept, shared, or got by calling extract (outside the lock).
    // Only outcomes marked cacheable are kept.
    Answer Resolve(const std::string& address, const std::function<Outcome()>& extract);

    std::size_t size() const;

  private:
    struct Flight {
        bool done = false;
        Outcome outcome;
        std::condition_variable finished;
    };
    struct Entry {
        Outcome outcome;
        std::chrono::steady_clock::time_point expires;
        std::list<std::string>::iterator use;
    };

    std::chrono::seconds ttl_;
    std::size_t maxEntries_;
    SteadyNow now_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Entry> kept_;
    std::list<std::string> uses_;  // most recent first
    std::unordered_map<std::string, std::shared_ptr<Flight>> flights_;
};

// A fixed window per client: at most max requests in each window of the given length.
class RateLimiter {
  public:
    // max 0 turns the limit off.
    RateLimiter(int max, std::chrono::seconds window,
                SteadyNow now = std::chrono::steady_clock::now);

    struct Decision {
        bool allowed = true;
        int limit = 0;
        int remaining = 0;
        long long reset = 0;  // seconds until the window starts again
    };

    // Counts one request of the client and says whether it may be served. This function can't
    // fail; with the limit off every request is allowed.
    Decision Take(const std::string& client);

    bool enabled() const { return max_ > 0; }
    int max() const { return max_; }
    std::chrono::seconds window() const { return window_; }

  private:
    struct Window {
        std::chrono::steady_clock::time_point start;
        int count = 0;
    };
    int max_;
    std::chrono::seconds window_;
    SteadyNow now_;
    std::mutex mutex_;
    std::unordered_map<std::string, Window> clients_;
};

}  // namespace resolver
