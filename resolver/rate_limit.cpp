// rate_limit: the fixed windows, in memory and in Redis.
#include "rate_limit.h"

#include <algorithm>

#include "redis_store.h"

namespace resolver {

RateLimiter::RateLimiter(int max, std::chrono::seconds window, SteadyNow now)
    : max_(max), window_(window), now_(std::move(now)) {}

RateLimiter::Decision RateLimiter::Take(const std::string& client) {
    if (max_ <= 0) {
        return {};
    }
    const auto now = now_();
    std::lock_guard lock(mutex_);
    // Clients whose window has passed are forgotten now and then, so the table stays small.
    if (clients_.size() > 10'000) {
        std::erase_if(clients_, [&](const auto& c) { return now - c.second.start >= window_; });
    }
    Window& w = clients_[client];
    if (w.count == 0 || now - w.start >= window_) {
        w.start = now;
        w.count = 0;
    }
    ++w.count;
    Decision d;
    d.limit = max_;
    d.allowed = w.count <= max_;
    d.remaining = d.allowed ? max_ - w.count : 0;
    const auto left = std::chrono::ceil<std::chrono::seconds>(w.start + window_ - now);
    d.reset = std::max<long long>(1, left.count());
    return d;
}

RedisRateLimiter::RedisRateLimiter(RedisLink& link, int max, std::chrono::seconds window)
    : link_(link), memory_(max, window) {}

RequestLimiter::Decision RedisRateLimiter::Take(const std::string& client) {
    if (!memory_.enabled()) {
        return {};
    }
    const auto window = std::chrono::duration_cast<std::chrono::milliseconds>(memory_.window());
    const std::string key = RedisKey("rate", client);
    // The window starts with the client's first request, whose counter gets the window's
    // expiry. A counter left without one (its instance died between the two) gets it from the
    // next request, so that no client is blocked for good.
    const auto r = link_.Call({{"INCR", key}, {"PTTL", key}});
    if (!r || r->size() != 2 || (*r)[0].kind != RedisReply::Kind::Integer) {
        return memory_.Take(client);
    }
    const long long count = (*r)[0].integer;
    long long left = (*r)[1].integer;
    if (left < 0) {
        link_.Call({{"PEXPIRE", key, std::to_string(window.count())}});
        left = window.count();
    }
    Decision d;
    d.limit = memory_.max();
    d.allowed = count <= d.limit;
    d.remaining = d.allowed ? d.limit - static_cast<int>(count) : 0;
    d.reset = std::max<long long>(1, (left + 999) / 1000);
    return d;
}

}  // namespace resolver
