// tunnel_store: tokens, records, their sealing, and the two stores.
#include "tunnel_store.h"

#include <cstring>

#include "redis_store.h"

namespace resolver {
namespace {

using nlohmann::json;

constexpr std::size_t kIdBytes = 16;
constexpr std::string_view kContext = "reelhawk tunnel record 1:";

std::string Text(const json& object, const char* name) {
    const auto it = object.find(name);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

TunnelToken TunnelToken::New() {
    TunnelToken token;
    token.id = RandomBytes(kIdBytes);
    const std::string key = RandomBytes(token.key.size());
    std::memcpy(token.key.data(), key.data(), token.key.size());
    return token;
}

std::optional<TunnelToken> TunnelToken::Parse(std::string_view text) {
    if (text.size() != 64) {
        return std::nullopt;
    }
    const auto bytes = FromBase64Url(text);
    if (!bytes || bytes->size() != kIdBytes + 32) {
        return std::nullopt;
    }
    TunnelToken token;
    token.id = bytes->substr(0, kIdBytes);
    std::memcpy(token.key.data(), bytes->data() + kIdBytes, token.key.size());
    return token;
}

std::string TunnelToken::text() const {
    return Base64Url(id + std::string(reinterpret_cast<const char*>(key.data()), key.size()));
}

std::string RecordToJson(const TunnelRecord& r) {
    json headers = json::array();
    for (const auto& [name, value] : r.headers) {
        headers.push_back({name, value});
    }
    json record = {{"url", r.url},   {"headers", headers}, {"name", r.name}, {"ext", r.extension},
                   {"page", r.page}, {"format", r.format}, {"part", r.part}, {"child", r.childKey}};
    if (!r.fragments.empty()) {
        record["fragments"] = r.fragments;
    }
    if (r.chunk > 0) {
        record["chunk"] = r.chunk;
    }
    if (r.size) {
        record["size"] = *r.size;
    }
    if (!r.inputs.empty()) {
        record["inputs"] = r.inputs;
    }
    if (r.duration) {
        record["duration"] = *r.duration;
    }
    return DumpJson(record);
}

std::optional<TunnelRecord> RecordFromJson(std::string_view text) try {
    const json j = json::parse(text, nullptr, false);
    if (!j.is_object() || !j.contains("url") || !j.contains("headers") ||
        !j["headers"].is_array()) {
        return std::nullopt;
    }
    TunnelRecord r;
    r.url = Text(j, "url");
    for (const json& pair : j["headers"]) {
        if (!pair.is_array() || pair.size() != 2 || !pair[0].is_string() || !pair[1].is_string()) {
            return std::nullopt;
        }
        r.headers.emplace_back(pair[0].get<std::string>(), pair[1].get<std::string>());
    }
    r.name = Text(j, "name");
    r.extension = Text(j, "ext");
    r.page = Text(j, "page");
    r.format = Text(j, "format");
    r.part = j.value("part", 0);
    r.childKey = Text(j, "child");
    if (j.contains("fragments")) {
        r.fragments = j["fragments"].get<std::vector<std::string>>();
    }
    if (j.contains("size")) {
        r.size = j["size"].get<std::uint64_t>();
    }
    r.chunk = j.value("chunk", std::uint64_t{0});
    if (j.contains("inputs")) {
        r.inputs = j["inputs"].get<std::vector<std::string>>();
    }
    if (j.contains("duration")) {
        r.duration = j["duration"].get<double>();
    }
    return r;
} catch (const json::exception&) {
    return std::nullopt;  // a field of another type than written
}

std::string SealRecord(const TunnelToken& token, const TunnelRecord& record) {
    return Seal(token.key, RecordToJson(record), std::string(kContext) + token.id);
}

std::optional<TunnelRecord> OpenRecord(const TunnelToken& token, std::string_view sealed) {
    const auto plain = Unseal(token.key, sealed, std::string(kContext) + token.id);
    return plain ? RecordFromJson(*plain) : std::nullopt;
}

MemoryTunnels::MemoryTunnels(std::size_t maxEntries,
                             std::function<std::chrono::steady_clock::time_point()> now)
    : maxEntries_(maxEntries), now_(std::move(now)) {}

void MemoryTunnels::Put(const std::string& id, const std::string& sealed,
                        std::chrono::seconds ttl) {
    std::lock_guard lock(mutex_);
    if (const auto it = entries_.find(id); it != entries_.end()) {
        uses_.erase(it->second.use);
        entries_.erase(it);
    }
    uses_.push_front(id);
    entries_[id] = Entry{sealed, now_() + ttl, uses_.begin()};
    while (entries_.size() > maxEntries_) {
        entries_.erase(uses_.back());
        uses_.pop_back();
    }
}

std::optional<std::string> MemoryTunnels::Take(const std::string& id, std::chrono::seconds ttl) {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(id);
    if (it == entries_.end()) {
        return std::nullopt;
    }
    if (now_() >= it->second.expires) {
        uses_.erase(it->second.use);
        entries_.erase(it);
        return std::nullopt;
    }
    it->second.expires = now_() + ttl;
    uses_.splice(uses_.begin(), uses_, it->second.use);
    return it->second.sealed;
}

std::size_t MemoryTunnels::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

RedisTunnels::RedisTunnels(RedisLink& link, std::size_t maxMemoryEntries)
    : link_(link), memory_(maxMemoryEntries) {}

void RedisTunnels::Put(const std::string& id, const std::string& sealed, std::chrono::seconds ttl) {
    const std::string ms = std::to_string(std::chrono::milliseconds(ttl).count());
    if (!link_.Call({{"SET", RedisKey("tunnel", Base64Url(id)), sealed, "PX", ms}})) {
        memory_.Put(id, sealed, ttl);
    }
}

std::optional<std::string> RedisTunnels::Take(const std::string& id, std::chrono::seconds ttl) {
    const std::string ms = std::to_string(std::chrono::milliseconds(ttl).count());
    const auto r = link_.Call({{"GETEX", RedisKey("tunnel", Base64Url(id)), "PX", ms}});
    if (r && r->size() == 1 && (*r)[0].kind == RedisReply::Kind::Text) {
        return (*r)[0].text;
    }
    // Made while Redis was failing, or Redis failing now: this instance's own.
    return memory_.Take(id, ttl);
}

}  // namespace resolver
