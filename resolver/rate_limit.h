// rate_limit: the per-client limit on requests, a fixed window that starts with the client's first
// request: kept in this process's memory, or in Redis so that every instance counts alike.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

namespace resolver {

class RedisLink;

using SteadyNow = std::function<std::chrono::steady_clock::time_point()>;

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
    // fail; with the limit off every request is allowed. It may block for a round trip to Redis
    // (see blocking()).
    virtual Decision Take(const std::string& client) = 0;

    // True when Take waits for the network, so that an event loop must not call it itself.
    virtual bool blocking() const = 0;
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

    bool blocking() const override { return false; }
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

// The same window in Redis (one counter per client, expiring with the window); this instance's
// memory while Redis fails.
class RedisRateLimiter : public RequestLimiter {
  public:
    RedisRateLimiter(RedisLink& link, int max, std::chrono::seconds window);

    Decision Take(const std::string& client) override;

    bool blocking() const override { return memory_.enabled(); }
    bool enabled() const override { return memory_.enabled(); }
    int max() const override { return memory_.max(); }
    std::chrono::seconds window() const override { return memory_.window(); }

  private:
    RedisLink& link_;
    RateLimiter memory_;
};

}  // namespace resolver
