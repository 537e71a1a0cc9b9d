// hls: HLS playlists passed through the tunnel, every address in them rewritten so that the
// variant playlists, segments and keys they name are fetched through the tunnel too.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace resolver {

// The longest playlist rewritten (a live stream's or a long film's is far shorter).
inline constexpr std::size_t kMaxPlaylistBytes = 4u << 20;

// True when the text is an HLS playlist (it starts with #EXTM3U, a byte-order mark allowed).
bool IsPlaylist(std::string_view text);

// The playlist with every address it names (a URI line, and the URI="…" of EXT-X-KEY,
// EXT-X-MAP, EXT-X-MEDIA, EXT-X-I-FRAME-STREAM-INF, EXT-X-SESSION-KEY, EXT-X-PART,
// EXT-X-PRELOAD-HINT and EXT-X-RENDITION-REPORT) resolved against the playlist's own address
// and replaced by link(address). Other lines are kept as they are; a key's data: or skd: address
// is kept too. This function can't fail.
std::string RewritePlaylist(std::string_view playlist, std::string_view playlistUrl,
                            const std::function<std::string(const std::string&)>& link);

}  // namespace resolver
