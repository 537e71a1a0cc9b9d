// merge: the best picture and the best sound of a video that a host serves apart, joined into one
// MP4 file by ffmpeg while it is sent (no re-encoding, fragmented MP4 to a pipe), its two inputs
// read only through the service's own tunnel on loopback; a file cut short by any failure is cut
// for the client too, never ended as if whole.
#pragma once

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

#include "http_server.h"
#include "resolution.h"
#include "tunnel.h"

namespace resolver {

struct MergeSettings {
    int merges = 4;                             // ffmpeg processes at once on this instance
    std::chrono::seconds maxDuration{10800};    // no merged file for a longer video
    std::chrono::milliseconds timeout{30'000};  // ffmpeg silent this long: the merge fails
    std::string ffmpeg = "ffmpeg";
    // Where ffmpeg reaches this service's tunnel ("http://127.0.0.1:PORT").
    std::string loopback;
};

// The picture-only and sound-only files of one video (files of the same part) that yt-dlp ranks
// best among those an MP4 holds as they are (H.264, HEVC, AV1, VP9; AAC, MP3, Opus), when they
// are better than the video's best file with both (a higher picture) or it has none: their
// indexes in files. nullopt when the video has no such pair, or is longer than maxDuration.
// files are in the resolution's order (best first in each kind). This function can't fail.
std::optional<std::pair<std::size_t, std::size_t>> ChooseMergePair(
    const std::vector<MediaFile>& files, int part, std::chrono::seconds maxDuration);

class Merges {
  public:
    Merges(MergeSettings settings, boost::asio::io_context& io, Tunnels& tunnels);
    ~Merges();

    const MergeSettings& settings() const { return settings_; }
    void SetLoopback(std::string loopback) { settings_.loopback = std::move(loopback); }

    // Whether ffmpeg is there to run (looked for once, on PATH): without it no merged file is
    // offered. This function can't fail.
    bool available() const { return available_; }

    // For each video of a fresh resolution with a pair to merge: the records of its two inputs
    // and of the merged file, kept in the tunnel store, and the merged file listed first among
    // the video's files. Waits for the store (call it where that is allowed). This function can't
    // fail.
    void AddMergedFiles(Resolution& resolution, const std::string& page);

    // Serves GET or HEAD /m/TOKEN/NAME: a HEAD without starting ffmpeg; a GET as ffmpeg makes
    // it, chunked, with no Content-Length and no ranges, beyond --merges a 503.
    void Serve(std::shared_ptr<http::Exchange> exchange);

    // Whether a tunnel request comes from one of this instance's ffmpeg processes (its
    // X-Reelhawk-Merge value), which no stream limit counts; and, when such an input fails,
    // that merge's note of why.
    bool Internal(std::string_view mergeId) const;
    void InputFailed(const std::string& mergeId, const std::string& why);

    int running() const;
    // Ends every ffmpeg process now (the service stops). This function can't fail.
    void KillAll();

  private:
    friend struct MergeRun;
    // Registers a running merge; false when --merges are running already.
    bool Begin(const std::string& id, int pid);
    void End(const std::string& id);
    std::string Failure(const std::string& id);

    MergeSettings settings_;
    boost::asio::io_context& io_;
    Tunnels& tunnels_;
    bool available_ = false;
    mutable std::mutex mutex_;
    struct Running {
        int pid = -1;
        std::string failure;  // an input's, when one failed
    };
    std::unordered_map<std::string, Running> runs_;
};

}  // namespace resolver
