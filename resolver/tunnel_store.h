// tunnel_store: the records behind the service's own file addresses (where a file is and how to
// fetch it), each sealed under a key that only its address carries, kept for a while in this
// process's memory or in Redis, where any instance finds it, also after a restart.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "resolution.h"
#include "sealing.h"

namespace resolver {

class RedisLink;

// What a tunnel address carries: the record's name and the key it is sealed under, 48 random
// bytes, written as 64 characters of base64url.
struct TunnelToken {
    std::string id;  // 16 bytes: names the record
    Key256 key{};    // seals it

    static TunnelToken New();
    // The token, or nullopt for any text that is not one.
    static std::optional<TunnelToken> Parse(std::string_view text);
    std::string text() const;
};

// How to fetch one file, or how to make one (a merge).
struct TunnelRecord {
    std::string url;                     // the file's address at its host
    Headers headers;                     // sent with every request to the host
    std::vector<std::string> fragments;  // a stream in pieces: their addresses, in order
    std::uint64_t chunk = 0;             // a file the host serves in ranges of this size
    std::string name;                    // the file's name for people, with its extension
    std::string extension;
    std::optional<std::uint64_t> size;
    std::string page;    // the video page it came from, resolved again when the host refuses
    std::string format;  // yt-dlp's format id on that page
    int part = 0;
    std::string childKey;  // signs the addresses a rewritten playlist names (random)
    // A merge: the tokens of its picture's and its sound's tunnels, and its length.
    std::vector<std::string> inputs;
    std::optional<double> duration;
};

std::string RecordToJson(const TunnelRecord& record);
// Reads back what RecordToJson wrote; nullopt for anything else.
std::optional<TunnelRecord> RecordFromJson(std::string_view text);

// The record sealed under the token's key, bound to its id. These functions can't fail;
// OpenRecord gives nullopt for a record sealed under another token or altered.
std::string SealRecord(const TunnelToken& token, const TunnelRecord& record);
std::optional<TunnelRecord> OpenRecord(const TunnelToken& token, std::string_view sealed);

// Where sealed records are kept. They are opaque here: the store never sees a key.
class TunnelStore {
  public:
    virtual ~TunnelStore() = default;

    // True when its calls wait for the network, so that an event loop must not make them.
    virtual bool blocking() const = 0;
    // Keeps the sealed record under the id for ttl (replacing one kept before). This function
    // can't fail; a store that cannot keep it keeps it in this process's memory.
    virtual void Put(const std::string& id, const std::string& sealed,
                     std::chrono::seconds ttl) = 0;
    // The sealed record, kept for ttl more from now (a tunnel in use does not expire); nullopt
    // when there is none or it has expired.
    virtual std::optional<std::string> Take(const std::string& id, std::chrono::seconds ttl) = 0;
};

class MemoryTunnels : public TunnelStore {
  public:
    // At most maxEntries records, the least recently used going first.
    explicit MemoryTunnels(std::size_t maxEntries,
                           std::function<std::chrono::steady_clock::time_point()> now =
                               std::chrono::steady_clock::now);

    bool blocking() const override { return false; }
    void Put(const std::string& id, const std::string& sealed, std::chrono::seconds ttl) override;
    std::optional<std::string> Take(const std::string& id, std::chrono::seconds ttl) override;
    std::size_t size() const;

  private:
    struct Entry {
        std::string sealed;
        std::chrono::steady_clock::time_point expires;
        std::list<std::string>::iterator use;
    };
    std::size_t maxEntries_;
    std::function<std::chrono::steady_clock::time_point()> now_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
    std::list<std::string> uses_;  // most recent first
};

// Records in Redis under reelhawk:tunnel:ID; this process's memory while Redis fails (a record
// kept there is served by this instance only).
class RedisTunnels : public TunnelStore {
  public:
    RedisTunnels(RedisLink& link, std::size_t maxMemoryEntries);

    bool blocking() const override { return true; }
    void Put(const std::string& id, const std::string& sealed, std::chrono::seconds ttl) override;
    std::optional<std::string> Take(const std::string& id, std::chrono::seconds ttl) override;

  private:
    RedisLink& link_;
    MemoryTunnels memory_;
};

}  // namespace resolver
