// resolution: what one extraction found (the files a video page can be fetched as), built from
// the worker's answer, and how an outcome is told to a JSON client.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace resolver {

// At most this many videos of a page with several (a playlist, a multi-part video) are listed.
inline constexpr int kMaxParts = 50;

enum class FileKind { PictureAndSound, PictureOnly, SoundOnly, PlaylistPart, Merged };

// The JSON name of a kind: "picture+sound", "picture", "sound", "playlist part", "merged".
const char* KindName(FileKind kind);

using Headers = std::vector<std::pair<std::string, std::string>>;

struct MediaFile {
    std::string address;
    std::string extension;  // without the dot; "m3u8" for every HLS stream
    FileKind kind = FileKind::PictureAndSound;
    std::optional<std::int64_t> size;  // bytes, exact or approximate
    std::optional<int> width;
    std::optional<int> height;
    std::string note;    // the format's own words ("720p", "128k"), may be empty
    int part = 0;        // 1-based video of a page with several; 0 for a single video
    std::string format;  // yt-dlp's format id, may be empty
    std::string vcodec;  // yt-dlp's codec names ("avc1.64001f", "mp4a.40.2"), may be empty
    std::string acodec;
    std::optional<double> duration;  // of the video, in seconds
    std::optional<double> bitrate;   // kbit/s, as yt-dlp gives it (tbr)
    // How the file is fetched: the headers yt-dlp would send, and for a stream served in pieces
    // the pieces' addresses in order. Used to make tunnels; not kept with a result.
    Headers headers;
    std::vector<std::string> fragments;
    std::uint64_t chunk = 0;  // served in ranges of this size (yt-dlp's http_chunk_size)
    // Listed as the service's own address (a tunnel, or a merge): its path, "/t/…" or "/m/…".
    std::string listedPath;
    std::vector<std::string> joins;  // a merged file: the formats of its picture and its sound
};

struct Part {
    int number = 0;
    std::string title;
};

struct Resolution {
    std::string title;
    std::vector<Part> parts;  // empty for a single video
    std::vector<MediaFile> files;
    bool truncated = false;  // the page had more than kMaxParts videos
    Headers defaultHeaders;  // what the worker sends every host; not kept with a result
};

// The end of one request for a video page: a resolution, or a failure with its HTTP status, a
// stable code for scripts and a sentence for people.
struct Outcome {
    std::optional<Resolution> resolution;
    int status = 200;
    std::string code;
    std::string message;
    std::string detail;      // yt-dlp's own words for a failure, for JSON clients; may be empty
    bool cacheable = false;  // true for answers that depend only on the video page

    static Outcome Failure(int status, std::string code, std::string message,
                           bool cacheable = false);
};

// Builds the resolution from yt-dlp's information about a page (the worker's "info"): for each
// video in page order its files with picture and sound first, then picture only, then sound only,
// each group best first; one file per address. Formats that cannot be fetched as a file or a
// stream (no address, neither picture nor sound, an unknown protocol) are left out. This
// function can't fail: missing or ill-typed fields count as absent.
Resolution BuildResolution(const nlohmann::json& info);

// The address a file is listed as: its own, or the service's (base, e.g. "http://host:port",
// then its listed path). This function can't fail.
inline std::string ListedAddress(const MediaFile& file, std::string_view base) {
    return file.listedPath.empty() ? file.address : std::string(base) + file.listedPath;
}

// The outcome for a JSON client: {"title", "files": [...]} or {"error": {"code", "message"}};
// addresses as listed on base. This function can't fail.
nlohmann::json OutcomeToJson(const Outcome& outcome, std::string_view base = {});

// The outcome as one text for a store shared between instances: its JSON answer with its status
// and whether it may be kept. This function can't fail.
std::string OutcomeToRecord(const Outcome& outcome);

// Reads back what OutcomeToRecord wrote. Returns nullopt for any other text (damaged, or written
// by another version), which the caller treats as absent.
std::optional<Outcome> OutcomeFromRecord(std::string_view record);

// Dumps JSON with invalid UTF-8 replaced, so that no text from a page can make it throw.
std::string DumpJson(const nlohmann::json& value);

}  // namespace resolver
