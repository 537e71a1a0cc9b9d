// result_cache: finished outcomes kept for a short time, and one extraction shared by every
// identical request that arrives while it runs; the per-client rate limit. Both kept in this
// process's memory, behind interfaces that the Redis-backed ones (shared_store.h) also satisfy.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "resolution.h"

namespace resolver {

using SteadyNow = std::function<std::chrono::steady_clock::time_point()>;

// Where finished outcomes are kept and extractions in flight are shared.
class ResultStore {
  public:
    virtual ~ResultStore() = default;

    struct Answer {
        Outcome outcome;
        bool cacheHit = false;  // from the kept outcomes
        bool shared = false;    // from another request's extraction in flight
    };

    // The outcome for the address: kept, shared, or got by calling extract (outside any lock).
    // Only outcomes marked cacheable are kept. This function can't fail: whatever the store
    // does, the caller gets an outcome.
    virtual Answer Resolve(const std::string& address, const std::function<Outcome()>& extract) = 0;

    // Outcomes kept in this process's memory.
    virtual std::size_t size() const = 0;
};

class SharedResults : public ResultStore {
  public:
    // ttl 0 keeps nothing (identical requests in flight are still shared). At most maxEntries
    // outcomes are kept, the least recently used going first.
    SharedResults(std::chrono::seconds ttl, std::size_t maxEntries,
                  SteadyNow now = std::chrono::steady_clock::now);

    Answer Resolve(const std::string& address, const std::function<Outcome()>& extract) override;

    std::size_t size() const override;

    // The outcome kept for the address, if it has not expired. This function can't fail.
    std::optional<Outcome> Find(const std::string& address);
    // Keeps the outcome for the given time (within the bound on entries; nothing when ttl 0 was
    // given at construction), whether or not it is marked cacheable.
    void Keep(const std::string& address, const Outcome& outcome,
              std::chrono::steady_clock::duration ttl);

  private:
    // With mutex_ held.
    std::optional<Outcome> FindLocked(const std::string& address);
    void KeepLocked(const std::string& address, const Outcome& outcome,
                    std::chrono::steady_clock::duration ttl);

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

// The per-client limit: a fixed window that starts with the client's first request, at most max
// requests in it.
class RequestLimiter {
  public:
    virtual ~RequestLimiter() = default;

    struct Decision {
        bool allowed = true;
        int limit = 0;
        int remaining = 0;
        long long reset = 0;  // seconds until the window starts again
    };

    // Counts one request of the client and says whether it may be served. This function can't
    // fail; with the limit off every request is allowed.
    virtual Decision Take(const std::string& client) = 0;

    virtual bool enabled() const = 0;
    virtual int max() const = 0;
    virtual std::chrono::seconds window() const = 0;
};

class RateLimiter : public RequestLimiter {
  public:
    // max 0 turns the limit off.
    RateLimiter(int max, std::chrono::seconds window,
                SteadyNow now = std::chrono::steady_clock::now);

    Decision Take(const std::string& client) override;

    bool enabled() const override { return max_ > 0; }
    int max() const override { return max_; }
    std::chrono::seconds window() const override { return window_; }

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
