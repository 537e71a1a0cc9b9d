// result_cache: the kept outcomes (time-limited, least recently used out), the shared
// extractions in flight, and the per-client rate limit.
#include "result_cache.h"

namespace resolver {

SharedResults::SharedResults(std::chrono::seconds ttl, std::size_t maxEntries, SteadyNow now)
    : ttl_(ttl), maxEntries_(maxEntries), now_(std::move(now)) {}

std::size_t SharedResults::size() const {
    std::lock_guard lock(mutex_);
    return kept_.size();
}

std::optional<Outcome> SharedResults::FindLocked(const std::string& address) {
    const auto it = kept_.find(address);
    if (it == kept_.end()) {
        return std::nullopt;
    }
    if (now_() < it->second.expires) {
        uses_.splice(uses_.begin(), uses_, it->second.use);
        return it->second.outcome;
    }
    uses_.erase(it->second.use);
    kept_.erase(it);
    return std::nullopt;
}

void SharedResults::KeepLocked(const std::string& address, const Outcome& outcome,
                               std::chrono::steady_clock::duration ttl) {
    if (ttl_.count() <= 0 || maxEntries_ == 0 || ttl <= std::chrono::steady_clock::duration(0)) {
        return;
    }
    if (const auto it = kept_.find(address); it != kept_.end()) {
        uses_.erase(it->second.use);
        kept_.erase(it);
    }
    uses_.push_front(address);
    kept_[address] = Entry{outcome, now_() + ttl, uses_.begin()};
    while (kept_.size() > maxEntries_) {
        kept_.erase(uses_.back());
        uses_.pop_back();
    }
}

std::optional<Outcome> SharedResults::Find(const std::string& address) {
    std::lock_guard lock(mutex_);
    return FindLocked(address);
}

void SharedResults::Keep(const std::string& address, const Outcome& outcome,
                         std::chrono::steady_clock::duration ttl) {
    std::lock_guard lock(mutex_);
    KeepLocked(address, outcome, ttl);
}

SharedResults::Answer SharedResults::Resolve(const std::string& address,
                                             const std::function<Outcome()>& extract) {
    std::shared_ptr<Flight> flight;
    {
        std::unique_lock lock(mutex_);
        if (auto kept = FindLocked(address)) {
            return {std::move(*kept), true, false};
        }
        if (const auto it = flights_.find(address); it != flights_.end()) {
            std::shared_ptr<Flight> other = it->second;
            other->finished.wait(lock, [&] { return other->done; });
            return {other->outcome, false, true};
        }
        flight = std::make_shared<Flight>();
        flights_[address] = flight;
    }
    Outcome outcome = extract();
    std::lock_guard lock(mutex_);
    flight->outcome = outcome;
    flight->done = true;
    flight->finished.notify_all();
    flights_.erase(address);
    if (outcome.cacheable) {
        KeepLocked(address, outcome, ttl_);
    }
    return {std::move(outcome), false, false};
}

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

}  // namespace resolver
