// result_cache: the kept outcomes (time-limited, least recently used out) and the shared
// extractions in flight, in this process's memory.
#include "result_cache.h"

namespace resolver {

namespace {

// Forms of one outcome written at once: the page and the JSON, each on one or two public
// addresses.
constexpr std::size_t kMaxForms = 6;

}  // namespace

std::shared_ptr<const std::string> KeptOutcome::Written(
    const std::string& form, const std::function<std::string()>& write) const {
    {
        std::lock_guard lock(mutex_);
        for (const auto& [name, bytes] : written_) {
            if (name == form) {
                return bytes;
            }
        }
    }
    auto bytes = std::make_shared<const std::string>(write());
    std::lock_guard lock(mutex_);
    if (written_.size() < kMaxForms) {
        written_.emplace_back(form, bytes);
    }
    return bytes;
}

MemoryResults::MemoryResults(std::chrono::seconds ttl, std::size_t maxEntries, SteadyNow now)
    : ttl_(ttl), maxEntries_(maxEntries), now_(std::move(now)) {}

std::size_t MemoryResults::size() const {
    std::lock_guard lock(mutex_);
    return kept_.size();
}

Kept MemoryResults::FindLocked(const std::string& address) {
    const auto it = kept_.find(address);
    if (it == kept_.end()) {
        return nullptr;
    }
    if (now_() < it->second.expires) {
        uses_.splice(uses_.begin(), uses_, it->second.use);
        return it->second.kept;
    }
    uses_.erase(it->second.use);
    kept_.erase(it);
    return nullptr;
}

void MemoryResults::KeepLocked(const std::string& address, Kept kept, Clock::duration ttl) {
    if (ttl_.count() <= 0 || maxEntries_ == 0 || ttl <= Clock::duration(0)) {
        return;
    }
    if (const auto it = kept_.find(address); it != kept_.end()) {
        uses_.erase(it->second.use);
        kept_.erase(it);
    }
    uses_.push_front(address);
    kept_[address] = Entry{std::move(kept), now_() + ttl, uses_.begin()};
    while (kept_.size() > maxEntries_) {
        kept_.erase(uses_.back());
        uses_.pop_back();
    }
}

Kept MemoryResults::Find(const std::string& address) {
    std::lock_guard lock(mutex_);
    return FindLocked(address);
}

void MemoryResults::Keep(const std::string& address, Kept kept, Clock::duration ttl) {
    std::lock_guard lock(mutex_);
    KeepLocked(address, std::move(kept), ttl);
}

void MemoryResults::Resolve(const std::string& address, Deadline deadline, Extraction extract,
                            std::function<void(Answer)> done) {
    {
        std::unique_lock lock(mutex_);
        if (Kept kept = FindLocked(address)) {
            lock.unlock();
            done({std::move(kept), true, false});
            return;
        }
        if (const auto it = flights_.find(address); it != flights_.end()) {
            // The extraction in flight ends by its own deadline, which is earlier than this one.
            it->second.push_back(std::move(done));
            return;
        }
        flights_[address];
    }
    extract(deadline, [this, address, done = std::move(done)](Outcome outcome) {
        auto kept = std::make_shared<const KeptOutcome>(std::move(outcome));
        std::vector<std::function<void(Answer)>> waiting;
        {
            std::lock_guard lock(mutex_);
            if (const auto it = flights_.find(address); it != flights_.end()) {
                waiting = std::move(it->second);
                flights_.erase(it);
            }
            if (kept->outcome().cacheable) {
                KeepLocked(address, kept, ttl_);
            }
        }
        done({kept, false, false});
        for (const auto& other : waiting) {
            other({kept, false, true});
        }
    });
}

}  // namespace resolver
