// redis_store: the kept results and the extractions in flight in Redis, shared by every instance
// that names the same server (the rate limit's counters too: rate_limit.h). Each instance falls
// back to its own memory at once while Redis cannot be reached or fails, and goes back to Redis
// once it answers.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include <boost/asio/any_io_executor.hpp>

#include "result_cache.h"

struct redisContext;

namespace resolver {

struct RedisAddress {
    std::string host;
    int port = 6379;

    std::string text() const;  // HOST:PORT, an IPv6 host in brackets
};

// The name of one of the service's keys: "reelhawk:KIND:NAME". This function can't fail.
std::string RedisKey(std::string_view kind, std::string_view name);

// The key of a page address's result or lock: named by a digest of the address, so that Redis
// holds no address in clear. This function can't fail.
std::string RedisAddressKey(std::string_view kind, std::string_view address);

// A result as kept in Redis: sealed under a key made from the address it answers (its tunnel
// addresses carry their records' keys), so that reading Redis without knowing the address gives
// nothing away. Open gives nullopt for a record of another address, altered, or of another
// version. These functions can't fail.
std::string SealOutcome(std::string_view address, const Outcome& outcome);
std::optional<Outcome> OpenOutcome(std::string_view address, std::string_view sealed);

// Parses "redis://HOST[:PORT][/]", an IPv6 host in brackets. Returns nullopt for anything else.
std::optional<RedisAddress> ParseRedisAddress(std::string_view text);

// One reply of Redis, copied out of the client library's.
struct RedisReply {
    enum class Kind { Nil, Integer, Text, Array };  // status replies ("OK") are text
    Kind kind = Kind::Nil;
    long long integer = 0;
    std::string text;
    std::vector<RedisReply> elements;
};

// Connections to one Redis server for any number of threads: each call takes a connection of its
// own from a pool (a connection is never shared by two threads), so calls never wait for each
// other. Connecting and every command are bounded by a short time limit.
class RedisLink {
  public:
    explicit RedisLink(RedisAddress address,
                       std::chrono::milliseconds timeout = std::chrono::milliseconds(200));
    ~RedisLink();
    RedisLink(const RedisLink&) = delete;
    RedisLink& operator=(const RedisLink&) = delete;

    // Sends the commands in one round trip and returns their replies in order. Returns nullopt
    // when Redis cannot be used now: it failed lately and the next try (at most one a second) is
    // not due, or this call failed (no connection, a time-out, an error reply). A failure turns
    // the link to fallback, said once on stderr; the first call that succeeds again turns it
    // back, said too. Callers then use their own memory; this function never throws.
    std::optional<std::vector<RedisReply>> Call(
        const std::vector<std::vector<std::string>>& commands);

    // False while fallen back.
    bool connected() const { return !down_.load(); }
    const RedisAddress& address() const { return address_; }

  private:
    struct Pooled {
        redisContext* context = nullptr;
        std::uint64_t generation = 0;
    };

    Pooled Connect(std::string* why);
    void Release(Pooled pooled);
    void Failed(const Pooled& pooled, const std::string& why);
    void Succeeded();

    RedisAddress address_;
    std::chrono::milliseconds timeout_;
    std::mutex mutex_;
    std::vector<Pooled> idle_;
    std::uint64_t generation_ = 0;  // connections from before the last failure are not reused
    std::atomic<bool> down_ = false;
    bool trying_ = false;  // a call is trying Redis again
    std::chrono::steady_clock::time_point retryAt_;
};

// The kept results and the extractions in flight in Redis. A result is kept under its address's
// key for the time to keep (and a copy in this process's memory until the same moment); an
// extraction in flight holds a lock on its address (SET NX with a lease that its instance renews
// while the extraction runs, so the lock goes within seconds when the instance dies), and
// requests on any instance wait for its outcome rather than extract again, at most until their
// deadline. While Redis fails, this instance's memory serves. Redis is called only on the
// executor given (its calls wait for the network), never on the caller's thread.
class RedisResults : public ResultStore {
  public:
    // ttl 0 keeps nothing. blocking: where the calls to Redis and the waits between them run.
    RedisResults(RedisLink& link, boost::asio::any_io_executor blocking, std::chrono::seconds ttl,
                 std::size_t maxMemoryEntries);
    ~RedisResults() override;

    void Resolve(const std::string& address, Deadline deadline, Extraction extract,
                 std::function<void(Answer)> done) override;
    std::size_t size() const override { return memory_.size(); }

  private:
    struct Asked;
    // One round: the kept result, else the lock; ends with an answer, an extraction of ours,
    // a wait for another's, or the fallback to memory.
    void Round(std::shared_ptr<Asked> asked);
    void Extract(std::shared_ptr<Asked> asked, const std::string& token);
    // Waits for the outcome of the extraction that holds the lock with this token.
    void WaitFor(std::shared_ptr<Asked> asked, std::string token, Clock::duration pause);
    void RenewLocks();

    RedisLink& link_;
    boost::asio::any_io_executor blocking_;
    MemoryResults memory_;
    std::chrono::seconds ttl_;
    std::string instance_;  // tells this process's locks from every other's
    std::atomic<std::uint64_t> flights_ = 0;
    std::mutex heldMutex_;
    std::condition_variable renew_;
    bool stopping_ = false;
    std::unordered_map<std::string, std::string> held_;  // lock key -> token, while extracting
    std::thread renewer_;
};

}  // namespace resolver
