// hls: the playlist's lines and attributes, rewritten.
#include "hls.h"

#include <array>

#include "upstream.h"

namespace resolver {
namespace {

constexpr std::array<std::string_view, 8> kTagsWithUri = {
    "#EXT-X-KEY:",         "#EXT-X-MAP:",  "#EXT-X-MEDIA:",        "#EXT-X-I-FRAME-STREAM-INF:",
    "#EXT-X-SESSION-KEY:", "#EXT-X-PART:", "#EXT-X-PRELOAD-HINT:", "#EXT-X-RENDITION-REPORT:",
};

// Addresses that name no resource to fetch.
bool Opaque(std::string_view address) {
    return address.starts_with("data:") || address.starts_with("skd:");
}

}  // namespace

bool IsPlaylist(std::string_view text) {
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    return text.starts_with("#EXTM3U");
}

std::string RewritePlaylist(std::string_view playlist, std::string_view playlistUrl,
                            const std::function<std::string(const std::string&)>& link) {
    std::string out;
    out.reserve(playlist.size() * 2);
    while (!playlist.empty()) {
        const std::size_t end = playlist.find('\n');
        std::string_view line = playlist.substr(0, end);
        playlist = end == std::string_view::npos ? std::string_view() : playlist.substr(end + 1);
        const bool cr = line.ends_with('\r');
        if (cr) {
            line.remove_suffix(1);
        }
        std::string rewritten(line);
        std::string_view trimmed = line;
        while (!trimmed.empty() && (trimmed.front() == ' ' || trimmed.front() == '\t')) {
            trimmed.remove_prefix(1);
        }
        if (!trimmed.empty() && trimmed.front() != '#') {
            if (!Opaque(trimmed)) {
                rewritten = link(ResolveLocation(playlistUrl, trimmed));
            }
        } else {
            for (std::string_view tag : kTagsWithUri) {
                if (!trimmed.starts_with(tag)) {
                    continue;
                }
                const std::size_t at = rewritten.find("URI=\"");
                const std::size_t from = at == std::string::npos ? at : at + 5;
                const std::size_t to = from == std::string::npos ? from : rewritten.find('"', from);
                if (to != std::string::npos) {
                    const std::string address = rewritten.substr(from, to - from);
                    if (!Opaque(address)) {
                        rewritten.replace(from, to - from,
                                          link(ResolveLocation(playlistUrl, address)));
                    }
                }
                break;
            }
        }
        out += rewritten;
        if (cr) {
            out += '\r';
        }
        if (end != std::string_view::npos) {
            out += '\n';
        }
    }
    return out;
}

}  // namespace resolver
