// resolution: from yt-dlp's information to the ordered list of files, and to JSON.
#include "resolution.h"

#include <algorithm>
#include <set>

namespace resolver {
namespace {

using nlohmann::json;

std::string StringField(const json& object, const char* name) {
    if (!object.is_object()) {
        return {};
    }
    const auto it = object.find(name);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::optional<std::int64_t> NumberField(const json& object, const char* name) {
    if (!object.is_object()) {
        return std::nullopt;
    }
    const auto it = object.find(name);
    if (it == object.end() || !it->is_number()) {
        return std::nullopt;
    }
    const double value = it->get<double>();
    if (!(value >= 0 && value < 9.0e15)) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(value);
}

// What a format's protocol says about how it is fetched: the extension to show, or empty when
// a browser or a download manager cannot fetch it at all (rtmp, rtsp, websockets, …).
std::string ExtensionFor(const json& format) {
    const std::string protocol = StringField(format, "protocol");
    if (protocol.starts_with("m3u8")) {
        return "m3u8";
    }
    if (protocol == "http_dash_segments") {
        return "mpd";
    }
    if (protocol.empty() || protocol == "http" || protocol == "https") {
        std::string ext = StringField(format, "ext");
        return ext.empty() ? "unknown_video" : ext;
    }
    return {};
}

bool IsNone(const std::string& codec) {
    return codec == "none";
}

// Appends the files of one video (a dictionary with "formats", or a single format itself).
void AddVideoFiles(const json& video, int part, std::vector<MediaFile>& files) {
    std::vector<json> formats;
    if (const auto it = video.find("formats");
        it != video.end() && it->is_array() && !it->empty()) {
        formats.assign(it->begin(), it->end());
    } else if (!StringField(video, "url").empty()) {
        formats.push_back(video);
    }
    // yt-dlp orders formats worst to best.
    std::reverse(formats.begin(), formats.end());
    std::vector<MediaFile> groups[3];
    std::set<std::string> seen;
    for (const json& format : formats) {
        const std::string address = StringField(format, "url");
        const std::string extension = ExtensionFor(format);
        // One file per address; the streams of one manifest (DASH pieces) share its address and
        // are told apart by their format.
        const bool pieces = format.contains("fragments");
        const std::string key =
            pieces ? address + '\n' + StringField(format, "format_id") : address;
        if (address.empty() || extension.empty() || !seen.insert(key).second) {
            continue;
        }
        const bool noPicture = IsNone(StringField(format, "vcodec"));
        const bool noSound = IsNone(StringField(format, "acodec"));
        if (noPicture && noSound) {
            continue;  // storyboards and the like
        }
        MediaFile file;
        file.address = address;
        file.extension = extension;
        file.kind = noPicture ? FileKind::SoundOnly
                    : noSound ? FileKind::PictureOnly
                              : FileKind::PictureAndSound;
        file.size = NumberField(format, "filesize");
        if (!file.size) {
            file.size = NumberField(format, "filesize_approx");
        }
        if (const auto w = NumberField(format, "width")) {
            file.width = static_cast<int>(std::min<std::int64_t>(*w, 1'000'000));
        }
        if (const auto h = NumberField(format, "height")) {
            file.height = static_cast<int>(std::min<std::int64_t>(*h, 1'000'000));
        }
        file.note = StringField(format, "format_note");
        file.part = part;
        file.format = StringField(format, "format_id");
        file.vcodec = StringField(format, "vcodec");
        file.acodec = StringField(format, "acodec");
        if (const auto it = format.find("duration"); it != format.end() && it->is_number()) {
            file.duration = it->get<double>();
        } else if (const auto v = video.find("duration"); v != video.end() && v->is_number()) {
            file.duration = v->get<double>();
        }
        if (const auto it = format.find("tbr"); it != format.end() && it->is_number()) {
            file.bitrate = it->get<double>();
        }
        if (const auto it = format.find("http_headers"); it != format.end() && it->is_object()) {
            for (const auto& [name, value] : it->items()) {
                if (value.is_string()) {
                    file.headers.emplace_back(name, value.get<std::string>());
                }
            }
        }
        if (const auto chunk = NumberField(format, "chunk")) {
            file.chunk = static_cast<std::uint64_t>(*chunk);
        }
        if (const auto it = format.find("fragments"); it != format.end() && it->is_array()) {
            for (const json& piece : *it) {
                if (piece.is_string()) {
                    file.fragments.push_back(piece.get<std::string>());
                }
            }
        }
        groups[static_cast<int>(file.kind)].push_back(std::move(file));
    }
    for (auto& group : groups) {
        std::move(group.begin(), group.end(), std::back_inserter(files));
    }
}

}  // namespace

const char* KindName(FileKind kind) {
    switch (kind) {
        case FileKind::PictureAndSound:
            return "picture+sound";
        case FileKind::PictureOnly:
            return "picture";
        case FileKind::SoundOnly:
            return "sound";
        case FileKind::PlaylistPart:
            return "playlist part";
        case FileKind::Merged:
            return "merged";
    }
    return "";
}

Outcome Outcome::Failure(int status, std::string code, std::string message, bool cacheable) {
    Outcome outcome;
    outcome.status = status;
    outcome.code = std::move(code);
    outcome.message = std::move(message);
    outcome.cacheable = cacheable;
    return outcome;
}

Resolution BuildResolution(const json& info) {
    Resolution resolution;
    resolution.title = StringField(info, "title");
    const auto entries = info.is_object() ? info.find("entries") : info.end();
    if (entries == info.end() || !entries->is_array()) {
        AddVideoFiles(info, 0, resolution.files);
        return resolution;
    }
    int number = 0;
    for (const json& entry : *entries) {
        if (!entry.is_object()) {
            continue;
        }
        if (number == kMaxParts) {
            resolution.truncated = true;
            break;
        }
        ++number;
        resolution.parts.push_back({number, StringField(entry, "title")});
        // A part that yt-dlp left unresolved is listed by its page's address.
        const std::string type = StringField(entry, "_type");
        if ((type == "url" || type == "url_transparent") && !StringField(entry, "url").empty()) {
            MediaFile page;
            page.address = StringField(entry, "url");
            page.extension = "html";
            page.kind = FileKind::PlaylistPart;
            page.part = number;
            resolution.files.push_back(std::move(page));
            continue;
        }
        AddVideoFiles(entry, number, resolution.files);
    }
    return resolution;
}

json OutcomeToJson(const Outcome& outcome, std::string_view base) {
    if (!outcome.resolution) {
        json error = {{"code", outcome.code}, {"message", outcome.message}};
        if (!outcome.detail.empty()) {
            error["detail"] = outcome.detail;
        }
        return {{"error", std::move(error)}};
    }
    const Resolution& r = *outcome.resolution;
    json files = json::array();
    for (const MediaFile& f : r.files) {
        json file = {{"url", ListedAddress(f, base)},
                     {"ext", f.extension},
                     {"kind", KindName(f.kind)},
                     {"tunnel", !f.listedPath.empty()}};
        file["size"] = f.size ? json(*f.size) : json(nullptr);
        file["width"] = f.width ? json(*f.width) : json(nullptr);
        file["height"] = f.height ? json(*f.height) : json(nullptr);
        if (!f.note.empty()) {
            file["note"] = f.note;
        }
        if (f.part > 0) {
            file["part"] = f.part;
        }
        if (!f.format.empty()) {
            file["format"] = f.format;
        }
        if (!f.joins.empty()) {
            file["joins"] = f.joins;
        }
        files.push_back(std::move(file));
    }
    json parts = json::array();
    for (const Part& p : r.parts) {
        parts.push_back({{"number", p.number}, {"title", p.title}});
    }
    json answer = {{"title", r.title}, {"files", std::move(files)}};
    if (!r.parts.empty()) {
        answer["parts"] = std::move(parts);
        answer["truncated"] = r.truncated;
    }
    return answer;
}

std::string OutcomeToRecord(const Outcome& outcome) {
    return DumpJson({{"v", 2},
                     {"status", outcome.status},
                     {"cacheable", outcome.cacheable},
                     {"answer", OutcomeToJson(outcome)}});
}

std::optional<Outcome> OutcomeFromRecord(std::string_view record) try {
    const json r = json::parse(record, nullptr, false);
    if (!r.is_object() || (r.value("v", 0) != 1 && r.value("v", 0) != 2) || !r.contains("answer") ||
        !r["answer"].is_object() || !r.contains("status") || !r["status"].is_number_integer()) {
        return std::nullopt;
    }
    const json& answer = r["answer"];
    Outcome outcome;
    outcome.status = r["status"].get<int>();
    outcome.cacheable = r.value("cacheable", false);
    if (answer.contains("error")) {
        const json& error = answer["error"];
        if (!error.is_object()) {
            return std::nullopt;
        }
        outcome.code = StringField(error, "code");
        outcome.message = StringField(error, "message");
        outcome.detail = StringField(error, "detail");
        return outcome;
    }
    if (!answer.contains("files") || !answer["files"].is_array()) {
        return std::nullopt;
    }
    Resolution resolution;
    resolution.title = StringField(answer, "title");
    for (const json& f : answer["files"]) {
        if (!f.is_object()) {
            return std::nullopt;
        }
        MediaFile file;
        file.address = StringField(f, "url");
        if (f.value("tunnel", false)) {
            file.listedPath = file.address;  // kept without a base
        }
        file.extension = StringField(f, "ext");
        file.format = StringField(f, "format");
        if (const auto joins = f.find("joins"); joins != f.end() && joins->is_array()) {
            for (const json& j : *joins) {
                if (!j.is_string()) {
                    return std::nullopt;
                }
                file.joins.push_back(j.get<std::string>());
            }
        }
        const std::string kind = StringField(f, "kind");
        bool known = false;
        for (FileKind k : {FileKind::PictureAndSound, FileKind::PictureOnly, FileKind::SoundOnly,
                           FileKind::PlaylistPart, FileKind::Merged}) {
            if (kind == KindName(k)) {
                file.kind = k;
                known = true;
            }
        }
        if (!known) {
            return std::nullopt;
        }
        if (f.contains("size") && f["size"].is_number_integer()) {
            file.size = f["size"].get<std::int64_t>();
        }
        if (f.contains("width") && f["width"].is_number_integer()) {
            file.width = f["width"].get<int>();
        }
        if (f.contains("height") && f["height"].is_number_integer()) {
            file.height = f["height"].get<int>();
        }
        file.note = StringField(f, "note");
        file.part = f.value("part", 0);
        resolution.files.push_back(std::move(file));
    }
    if (answer.contains("parts") && answer["parts"].is_array()) {
        for (const json& p : answer["parts"]) {
            if (!p.is_object()) {
                return std::nullopt;
            }
            resolution.parts.push_back({p.value("number", 0), StringField(p, "title")});
        }
        resolution.truncated = answer.value("truncated", false);
    }
    outcome.resolution = std::move(resolution);
    return outcome;
} catch (const json::exception&) {
    // A field of another type than written.
    return std::nullopt;
}

std::string DumpJson(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace resolver
