// tunnel: the service's own addresses for files that download only with its headers, its cookies
// or from its address: which files get one, their records, and serving them as a file server
// would (ranges, validators, HEAD, re-resolution when the host refuses), bytes streamed with
// back-pressure and every connection to a host under the address guard.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "http_server.h"
#include "result_cache.h"
#include "tunnel_store.h"
#include "upstream.h"

namespace resolver {

enum class TunnelMode { Auto, Always, Never };

struct TunnelSettings {
    TunnelMode mode = TunnelMode::Auto;
    std::chrono::seconds ttl{3600};
    int streams = 256;       // tunnel requests at once on this instance
    int clientStreams = 16;  // ... and per client (download managers split a file)
    std::chrono::milliseconds timeout{30'000};   // a host that says nothing for this long fails
    std::chrono::milliseconds probeTime{4'000};  // asking the hosts of one result, all at once
};

// Resolves a page again, without the kept results, when a host refuses an address it gave.
using Reresolve = std::function<void(const std::string& page, Deadline, OutcomeDone)>;

class Tunnels {
  public:
    // blocking: where the store's calls run when they wait for the network.
    Tunnels(TunnelSettings settings, boost::asio::io_context& io,
            boost::asio::any_io_executor blocking, UpstreamContext& upstream, TunnelStore& store,
            Reresolve reresolve);
    ~Tunnels();

    const TunnelSettings& settings() const { return settings_; }

    // Decides which files of a fresh resolution of page are listed through the service (under
    // auto: an address bound to this machine, or a host that refuses the file without the
    // headers yt-dlp gave, asked for its first byte), makes their records, and calls done once,
    // from any thread, with the resolution as it is to be listed: those files with their
    // listed path, and no file's headers or pieces left in it. This function can't fail; a
    // host that does not answer in time gets a tunnel.
    void Prepare(Resolution resolution, const std::string& page, Deadline deadline,
                 std::function<void(Resolution)> done);

    // Keeps a record under a new token and returns the token's text. Waits for Redis when the
    // store does: call it where waiting is allowed.
    std::string Keep(const TunnelRecord& record);

    // The record behind a token's text, kept for its time again; nullopt when it is unknown, has
    // expired, or the text is not a token. Waits for Redis when the store does.
    std::optional<TunnelRecord> Find(const std::string& token);

    // Serves GET or HEAD /t/TOKEN/NAME (and the addresses a rewritten playlist names). client:
    // whose streams are counted; merge: the id of the service's own merge this request is an
    // input of (counted against no limit, told when it fails), else empty.
    void Serve(std::shared_ptr<http::Exchange> exchange, const std::string& client,
               const std::string& merge);

    // What Prepare does last with the files it has sorted (adding merged files), where the store
    // may be called; and whom a merge's failed input is told to.
    void SetFinisher(std::function<void(Resolution&, const std::string& page)> finisher) {
        finisher_ = std::move(finisher);
    }
    void SetInputFailed(
        std::function<void(const std::string& merge, const std::string& why)> told) {
        inputFailed_ = std::move(told);
    }
    const boost::asio::any_io_executor& blocking() const { return blocking_; }

    int streams() const { return streams_; }

    // The file's name as the last part of its address, every byte but letters, digits and
    // "-._~" percent-encoded. This function can't fail.
    static std::string PathName(const std::string& name);

  private:
    friend struct TunnelRequest;
    friend struct Preparation;

    // Counts a stream; false when a limit is reached (the answer's status and Retry-After then
    // said through *status).
    bool Acquire(const std::string& client, bool internal, unsigned* status);
    void Release(const std::string& client, bool internal);
    // Resolves the record's page again and takes the same format's new address; one at a time
    // per tunnel on this instance. done gets the renewed record, or nullopt.
    void Renew(const TunnelToken& token, TunnelRecord record,
               std::function<void(std::optional<TunnelRecord>)> done);
    // Runs work where the store may be called: inline, or on the blocking executor.
    void WithStore(std::function<void()> work);

    TunnelSettings settings_;
    boost::asio::io_context& io_;
    boost::asio::any_io_executor blocking_;
    UpstreamContext& upstream_;
    TunnelStore& store_;
    Reresolve reresolve_;
    std::function<void(Resolution&, const std::string&)> finisher_;
    std::function<void(const std::string&, const std::string&)> inputFailed_;
    std::atomic<int> streams_ = 0;
    std::mutex mutex_;
    std::unordered_map<std::string, int> clients_;  // streams per client
    std::unordered_map<std::string, std::vector<std::function<void(std::optional<TunnelRecord>)>>>
        renewing_;  // by record id
};

// What a tunnel needs to fetch the file from its host (its address, headers, pieces) and to
// resolve its page again; its name, size and child key are the caller's to add. This function
// can't fail.
TunnelRecord FetchRecord(const MediaFile& file, const std::string& page);

// 404 for a tunnel or merge address that has expired, was altered, or was made elsewhere
// without a shared store.
http::Reply ExpiredAddress();

// The Content-Disposition of a file: attachment, a readable ASCII filename (what is not printable
// ASCII written as "_") and the UTF-8 filename*. This function can't fail.
std::string ContentDisposition(const std::string& name);

// A single byte range of a Range header ("bytes=A-B", "bytes=A-", "bytes=-N"); nullopt for none,
// several, or anything else (then the whole file is answered).
struct ByteRange {
    std::optional<std::uint64_t> first;
    std::optional<std::uint64_t> last;  // with first: inclusive; without: the last N bytes
};
std::optional<ByteRange> ParseRange(std::string_view header);

}  // namespace resolver
