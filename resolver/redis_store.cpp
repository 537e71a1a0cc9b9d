// redis_store: the Redis connections with their fallback, and the results kept in Redis.
#include "redis_store.h"

#include <hiredis/hiredis.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <iostream>
#include <random>

#include "sealing.h"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

namespace resolver {
namespace {

using namespace std::chrono_literals;

// Every key the service writes starts with this, so that a Redis shared with other programs
// keeps them apart.
constexpr std::string_view kPrefix = "reelhawk:";
// Results are sealed under a key made from the address they answer.
constexpr std::string_view kResultLabel = "reelhawk result 2";

// A lock on an extraction lasts this long unless its instance renews it, which it does every
// kRenewEvery while the extraction runs.
constexpr auto kLease = 3000ms;
constexpr auto kRenewEvery = 1000ms;
// How long the outcome of an extraction stays for the requests that waited for it.
constexpr auto kFlightOutcomeKept = 10'000ms;

// Deletes the lock only when it is still the caller's (an expired lock may be another's now).
constexpr const char* kReleaseScript =
    "if redis.call('get', KEYS[1]) == ARGV[1] then return redis.call('del', KEYS[1]) end "
    "return 0";
constexpr const char* kRenewScript =
    "if redis.call('get', KEYS[1]) == ARGV[1] then "
    "return redis.call('pexpire', KEYS[1], ARGV[2]) end return 0";

std::string Millis(std::chrono::milliseconds ms) {
    return std::to_string(ms.count());
}

RedisReply Copy(const redisReply& r) {
    RedisReply out;
    switch (r.type) {
        case REDIS_REPLY_INTEGER:
            out.kind = RedisReply::Kind::Integer;
            out.integer = r.integer;
            break;
        case REDIS_REPLY_STRING:
        case REDIS_REPLY_STATUS:
            out.kind = RedisReply::Kind::Text;
            out.text.assign(r.str, r.len);
            break;
        case REDIS_REPLY_ARRAY:
            out.kind = RedisReply::Kind::Array;
            for (std::size_t i = 0; i < r.elements; ++i) {
                out.elements.push_back(Copy(*r.element[i]));
            }
            break;
        default:
            break;
    }
    return out;
}

bool IsText(const RedisReply& r) {
    return r.kind == RedisReply::Kind::Text;
}

}  // namespace

std::string RedisKey(std::string_view kind, std::string_view name) {
    std::string key(kPrefix);
    key += kind;
    key += ':';
    key += name;
    return key;
}

std::string RedisAddressKey(std::string_view kind, std::string_view address) {
    return RedisKey(kind, Hex(Sha256(address)).substr(0, 40));
}

std::string SealOutcome(std::string_view address, const Outcome& outcome) {
    return Seal(KeyFrom(kResultLabel, address), OutcomeToRecord(outcome), kResultLabel);
}

std::optional<Outcome> OpenOutcome(std::string_view address, std::string_view sealed) {
    const auto record = Unseal(KeyFrom(kResultLabel, address), sealed, kResultLabel);
    return record ? OutcomeFromRecord(*record) : std::nullopt;
}

std::string RedisAddress::text() const {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::optional<RedisAddress> ParseRedisAddress(std::string_view text) {
    constexpr std::string_view kScheme = "redis://";
    if (!text.starts_with(kScheme)) {
        return std::nullopt;
    }
    text.remove_prefix(kScheme.size());
    if (text.ends_with('/')) {
        text.remove_suffix(1);
    }
    RedisAddress address;
    std::string_view port;
    if (text.starts_with('[')) {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        address.host = text.substr(1, close - 1);
        text.remove_prefix(close + 1);
        if (!text.empty()) {
            if (text.front() != ':') {
                return std::nullopt;
            }
            port = text.substr(1);
        }
    } else {
        const std::size_t colon = text.find(':');
        address.host = text.substr(0, colon);
        if (colon != std::string_view::npos) {
            port = text.substr(colon + 1);
        }
    }
    if (address.host.empty() || address.host.find_first_of("/@?#[] ") != std::string::npos) {
        return std::nullopt;
    }
    if (!port.empty() || text.ends_with(':')) {
        const auto [end, ec] =
            std::from_chars(port.data(), port.data() + port.size(), address.port);
        if (ec != std::errc() || end != port.data() + port.size() || address.port < 1 ||
            address.port > 65535) {
            return std::nullopt;
        }
    }
    return address;
}

RedisLink::RedisLink(RedisAddress address, std::chrono::milliseconds timeout)
    : address_(std::move(address)), timeout_(timeout) {}

RedisLink::~RedisLink() {
    for (Pooled& p : idle_) {
        redisFree(p.context);
    }
}

RedisLink::Pooled RedisLink::Connect(std::string* why) {
    const timeval limit = {static_cast<time_t>(timeout_.count() / 1000),
                           static_cast<suseconds_t>(timeout_.count() % 1000 * 1000)};
    redisContext* context = redisConnectWithTimeout(address_.host.c_str(), address_.port, limit);
    if (context != nullptr && (context->err != 0 || redisSetTimeout(context, limit) != REDIS_OK)) {
        *why = context->errstr;
        redisFree(context);
        context = nullptr;
    } else if (context == nullptr) {
        *why = "out of memory";
    }
    std::lock_guard lock(mutex_);
    return {context, generation_};
}

void RedisLink::Release(Pooled pooled) {
    std::lock_guard lock(mutex_);
    if (pooled.generation == generation_) {
        idle_.push_back(pooled);
    } else {
        redisFree(pooled.context);
    }
}

void RedisLink::Failed(const Pooled& pooled, const std::string& why) {
    std::lock_guard lock(mutex_);
    trying_ = false;
    // A connection made before the last failure says nothing new.
    if (pooled.generation != generation_ || down_) {
        return;
    }
    down_ = true;
    ++generation_;
    for (Pooled& p : idle_) {
        redisFree(p.context);
    }
    idle_.clear();
    retryAt_ = Clock::now() + 1s;
    std::cerr << "reelhawk-resolver: Redis at " << address_.text() << " failed (" << why
              << "): results, extractions and rate limits are this instance's own until it is "
                 "back"
              << std::endl;
}

void RedisLink::Succeeded() {
    if (!down_) {
        return;
    }
    std::lock_guard lock(mutex_);
    if (!down_) {
        return;
    }
    down_ = false;
    trying_ = false;
    std::cerr << "reelhawk-resolver: Redis at " << address_.text()
              << " is back: results, extractions and rate limits are shared again" << std::endl;
}

std::optional<std::vector<RedisReply>> RedisLink::Call(
    const std::vector<std::vector<std::string>>& commands) {
    Pooled pooled;
    {
        std::lock_guard lock(mutex_);
        if (down_) {
            // One call a second tries again; the others use their own memory meanwhile.
            if (trying_ || Clock::now() < retryAt_) {
                return std::nullopt;
            }
            trying_ = true;
            retryAt_ = Clock::now() + 1s;
        }
        if (!idle_.empty()) {
            pooled = idle_.back();
            idle_.pop_back();
        }
    }
    bool reused = pooled.context != nullptr;
    std::string why;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (pooled.context == nullptr) {
            pooled = Connect(&why);
            if (pooled.context == nullptr) {
                Failed(pooled, why);
                return std::nullopt;
            }
            reused = false;
        }
        redisContext* c = pooled.context;
        bool sent = true;
        for (const auto& command : commands) {
            std::vector<const char*> argv;
            std::vector<std::size_t> lengths;
            for (const std::string& arg : command) {
                argv.push_back(arg.data());
                lengths.push_back(arg.size());
            }
            if (redisAppendCommandArgv(c, static_cast<int>(argv.size()), argv.data(),
                                       lengths.data()) != REDIS_OK) {
                sent = false;
                break;
            }
        }
        std::vector<RedisReply> replies;
        bool errorReply = false;
        for (std::size_t i = 0; sent && i < commands.size(); ++i) {
            void* raw = nullptr;
            if (redisGetReply(c, &raw) != REDIS_OK || raw == nullptr) {
                sent = false;
                break;
            }
            const auto* reply = static_cast<redisReply*>(raw);
            if (reply->type == REDIS_REPLY_ERROR) {
                why = std::string(reply->str, reply->len);
                errorReply = true;
            } else {
                replies.push_back(Copy(*reply));
            }
            freeReplyObject(raw);
        }
        if (sent && !errorReply) {
            Release(pooled);
            Succeeded();
            return replies;
        }
        // Closed by the other side (not a time-out, which trying again would only repeat).
        const bool closed =
            !sent && (c->err == REDIS_ERR_EOF ||
                      (c->err == REDIS_ERR_IO && (errno == ECONNRESET || errno == EPIPE)));
        if (!sent && c->err == REDIS_ERR_IO && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            why = "no answer within " + std::to_string(timeout_.count()) + " ms";
        } else if (!sent) {
            why = c->errstr[0] != '\0' ? c->errstr : "no answer";
        }
        const std::uint64_t generation = pooled.generation;
        redisFree(c);
        pooled = {};
        // A connection that sat in the pool may have been closed by a Redis that restarted
        // since: once more on a new one before calling Redis failed.
        if (closed && reused && attempt == 0) {
            continue;
        }
        Failed({nullptr, generation}, why);
        return std::nullopt;
    }
    return std::nullopt;
}

RedisResults::RedisResults(RedisLink& link, boost::asio::any_io_executor blocking,
                           std::chrono::seconds ttl, std::size_t maxMemoryEntries)
    : link_(link), blocking_(std::move(blocking)), memory_(ttl, maxMemoryEntries), ttl_(ttl) {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::random_device random;
    instance_ = std::string(host) + ":" + std::to_string(getpid()) + ":" +
                std::to_string(random()) + std::to_string(random());
    renewer_ = std::thread([this] { RenewLocks(); });
}

RedisResults::~RedisResults() {
    {
        std::lock_guard lock(heldMutex_);
        stopping_ = true;
    }
    renew_.notify_all();
    renewer_.join();
}

void RedisResults::RenewLocks() {
    std::unique_lock lock(heldMutex_);
    while (!stopping_) {
        renew_.wait_for(lock, kRenewEvery, [this] { return stopping_; });
        if (stopping_ || held_.empty()) {
            continue;
        }
        std::vector<std::vector<std::string>> commands;
        for (const auto& [key, token] : held_) {
            commands.push_back({"EVAL", kRenewScript, "1", key, token, Millis(kLease)});
        }
        lock.unlock();
        link_.Call(commands);
        lock.lock();
    }
}

struct RedisResults::Asked {
    std::string address;
    Deadline deadline;
    Extraction extract;
    std::function<void(Answer)> done;

    std::string ResultKey() const { return RedisAddressKey("result", address); }
    std::string LockKey() const { return RedisAddressKey("lock", address); }
    std::string Sealed(const Outcome& outcome) const { return SealOutcome(address, outcome); }
    std::optional<Outcome> Opened(const std::string& record) const {
        return OpenOutcome(address, record);
    }
};

void RedisResults::Resolve(const std::string& address, Deadline deadline, Extraction extract,
                           std::function<void(Answer)> done) {
    // A result read from Redis is kept here too, until the moment it expires there: it does not
    // change meanwhile, so the copy answers alike without a round trip.
    if (Kept near = memory_.Find(address)) {
        done({std::move(near), true, false});
        return;
    }
    auto asked =
        std::make_shared<Asked>(Asked{address, deadline, std::move(extract), std::move(done)});
    boost::asio::post(blocking_, [this, asked] { Round(asked); });
}

void RedisResults::Round(std::shared_ptr<Asked> asked) {
    auto fallback = [&] {
        memory_.Resolve(asked->address, asked->deadline, std::move(asked->extract),
                        std::move(asked->done));
    };
    // Each round ends with an answer, or with an extraction elsewhere that ended without one
    // (its instance died); the deadline bounds the rounds.
    if (Clock::now() >= asked->deadline) {
        asked->done(
            {std::make_shared<const KeptOutcome>(Outcome::Failure(
                 504, "timeout", "The request waited too long for the same address's extraction.")),
             false, false});
        return;
    }
    const std::string resultKey = asked->ResultKey();
    auto r = link_.Call({{"GET", resultKey}, {"PTTL", resultKey}});
    if (!r || r->size() != 2) {
        fallback();
        return;
    }
    if (IsText((*r)[0])) {
        if (auto outcome = asked->Opened((*r)[0].text)) {
            auto kept = std::make_shared<const KeptOutcome>(std::move(*outcome));
            memory_.Keep(asked->address, kept, std::chrono::milliseconds((*r)[1].integer));
            asked->done({std::move(kept), true, false});
            return;
        }
    }
    // Not kept: extract under the lock, or wait for whoever holds it. The result is asked for
    // again in the same round trip, as an extraction may have ended just now.
    const std::string token = instance_ + ":" + std::to_string(++flights_);
    const std::string lockKey = asked->LockKey();
    r = link_.Call({{"SET", lockKey, token, "NX", "PX", Millis(kLease)},
                    {"GET", lockKey},
                    {"GET", resultKey}});
    if (!r || r->size() != 3) {
        fallback();
        return;
    }
    const bool locked = IsText((*r)[0]);
    if (IsText((*r)[2])) {
        if (auto outcome = asked->Opened((*r)[2].text)) {
            if (locked) {
                link_.Call({{"EVAL", kReleaseScript, "1", lockKey, token}});
            }
            asked->done({std::make_shared<const KeptOutcome>(std::move(*outcome)), true, false});
            return;
        }
    }
    if (locked) {
        Extract(asked, token);
    } else if (!IsText((*r)[1])) {
        boost::asio::post(blocking_, [this, asked] { Round(asked); });  // it ended just now
    } else {
        WaitFor(asked, (*r)[1].text, 0ms);
    }
}

void RedisResults::Extract(std::shared_ptr<Asked> asked, const std::string& token) {
    const std::string lockKey = asked->LockKey();
    {
        std::lock_guard lock(heldMutex_);
        held_[lockKey] = token;
    }
    auto extract = std::move(asked->extract);
    extract(asked->deadline, [this, asked, token, lockKey](Outcome outcome) {
        boost::asio::post(
            blocking_, [this, asked, token, lockKey, outcome = std::move(outcome)]() mutable {
                {
                    std::lock_guard lock(heldMutex_);
                    held_.erase(lockKey);
                }
                // The outcome for those waiting goes first, the lock last: a request that finds the
                // lock gone finds the outcome.
                const std::string record = asked->Sealed(outcome);
                auto kept = std::make_shared<const KeptOutcome>(std::move(outcome));
                std::vector<std::vector<std::string>> commands;
                if (ttl_.count() > 0 && kept->outcome().cacheable) {
                    memory_.Keep(asked->address, kept, ttl_);
                    commands.push_back(
                        {"SET", asked->ResultKey(), record, "PX",
                         Millis(std::chrono::duration_cast<std::chrono::milliseconds>(ttl_))});
                }
                commands.push_back(
                    {"SET", RedisKey("flight", token), record, "PX", Millis(kFlightOutcomeKept)});
                commands.push_back({"EVAL", kReleaseScript, "1", lockKey, token});
                // Should Redis fail now, those waiting fall back to their own memory.
                link_.Call(commands);
                asked->done({std::move(kept), false, false});
            });
    });
}

void RedisResults::WaitFor(std::shared_ptr<Asked> asked, std::string token, Clock::duration pause) {
    auto poll = [this, asked, token, pause] {
        if (Clock::now() >= asked->deadline) {
            Round(asked);  // answers that the time is up
            return;
        }
        const auto r = link_.Call({{"GET", asked->LockKey()}, {"GET", RedisKey("flight", token)}});
        if (!r || r->size() != 2) {
            memory_.Resolve(asked->address, asked->deadline, std::move(asked->extract),
                            std::move(asked->done));
            return;
        }
        if (IsText((*r)[1])) {
            if (auto outcome = asked->Opened((*r)[1].text)) {
                asked->done(
                    {std::make_shared<const KeptOutcome>(std::move(*outcome)), false, true});
                return;
            }
        }
        // The outcome is written before the lock goes, so a lock gone (or another's) with no
        // outcome means the extraction ended without one: a new round.
        if (!IsText((*r)[0]) || (*r)[0].text != token) {
            Round(asked);
            return;
        }
        WaitFor(asked, token, std::clamp<Clock::duration>(pause * 2, 2ms, 50ms));
    };
    if (pause == Clock::duration::zero()) {
        poll();
        return;
    }
    auto timer = std::make_shared<boost::asio::steady_timer>(blocking_);
    timer->expires_at(std::min(Clock::now() + pause, asked->deadline));
    timer->async_wait([timer, poll](boost::system::error_code error) {
        if (!error) {
            poll();
        }
    });
}

}  // namespace resolver
