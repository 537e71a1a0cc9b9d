// result_cache: finished outcomes kept for a short time as the bytes they are sent as, and one
// extraction shared by every identical request that arrives while it runs; the store behind an
// interface that the Redis-backed one (redis_store.h) also satisfies, kept here in this
// process's memory.
#pragma once

#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "resolution.h"

namespace resolver {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;
using SteadyNow = std::function<Clock::time_point()>;
using OutcomeDone = std::function<void(Outcome)>;
// Starts an extraction that must end by the deadline, and calls done once with its outcome, from
// any thread.
using Extraction = std::function<void(Deadline, OutcomeDone)>;

// One outcome as it is answered, with the answers already written for it: a hit sends those
// bytes again rather than writing them anew.
class KeptOutcome {
  public:
    explicit KeptOutcome(Outcome outcome) : outcome_(std::move(outcome)) {}

    const Outcome& outcome() const { return outcome_; }

    // The answer written by write() the first time this form (e.g. "page" or "json" with the
    // address it was asked on) is asked for, the same bytes every later time. At most a few forms
    // are kept. This function can't fail but as write() does.
    std::shared_ptr<const std::string> Written(const std::string& form,
                                               const std::function<std::string()>& write) const;

  private:
    Outcome outcome_;
    mutable std::mutex mutex_;
    mutable std::vector<std::pair<std::string, std::shared_ptr<const std::string>>> written_;
};

using Kept = std::shared_ptr<const KeptOutcome>;

// Where finished outcomes are kept and extractions in flight are shared.
class ResultStore {
  public:
    virtual ~ResultStore() = default;

    struct Answer {
        Kept kept;
        bool cacheHit = false;  // from the kept outcomes
        bool shared = false;    // from another request's extraction in flight
    };

    // The outcome for the address, kept, shared, or got by starting extract (outside any
    // lock); done is called once, from any thread (before Resolve returns when the outcome is
    // kept). Only outcomes marked cacheable are kept. This function can't fail: whatever the
    // store does, the caller gets an outcome, by the deadline unless the extraction overruns it.
    virtual void Resolve(const std::string& address, Deadline deadline, Extraction extract,
                         std::function<void(Answer)> done) = 0;

    // Outcomes kept in this process's memory.
    virtual std::size_t size() const = 0;
};

class MemoryResults : public ResultStore {
  public:
    // ttl 0 keeps nothing (identical requests in flight are still shared). At most maxEntries
    // outcomes are kept, the least recently used going first.
    MemoryResults(std::chrono::seconds ttl, std::size_t maxEntries, SteadyNow now = Clock::now);

    void Resolve(const std::string& address, Deadline deadline, Extraction extract,
                 std::function<void(Answer)> done) override;

    std::size_t size() const override;

    // The outcome kept for the address, if it has not expired. This function can't fail.
    Kept Find(const std::string& address);
    // Keeps the outcome for the given time (within the bound on entries; nothing when ttl 0 was
    // given at construction), whether or not it is marked cacheable.
    void Keep(const std::string& address, Kept kept, Clock::duration ttl);

  private:
    // With mutex_ held.
    Kept FindLocked(const std::string& address);
    void KeepLocked(const std::string& address, Kept kept, Clock::duration ttl);

    struct Entry {
        Kept kept;
        Clock::time_point expires;
        std::list<std::string>::iterator use;
    };

    std::chrono::seconds ttl_;
    std::size_t maxEntries_;
    SteadyNow now_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Entry> kept_;
    std::list<std::string> uses_;  // most recent first
    // The requests waiting for each extraction in flight.
    std::unordered_map<std::string, std::vector<std::function<void(Answer)>>> flights_;
};

}  // namespace resolver
