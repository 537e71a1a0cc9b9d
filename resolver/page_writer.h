// page_writer: the two HTML pages that the Reelhawk program drives (the form and the result
// list), written so that its carving of each link's markup gives the file's address back exactly.
#pragma once

#include <string>
#include <string_view>

#include "resolution.h"

namespace resolver {

// The type every page is sent as.
inline constexpr const char* kHtml = "text/html; charset=utf-8";

// The address as it is written into a link's href: every ";", '"', "<", ">", space, control
// character and non-ASCII byte percent-encoded (non-ASCII as its UTF-8 bytes, as a browser
// does), then "&" written as "&amp;". Everything else, "%" included, is kept, so an address
// already encoded keeps its meaning. This function can't fail.
std::string EncodeAddressForLink(std::string_view address);

// The address a browser and the program's carving take from what EncodeAddressForLink wrote:
// the percent-encoding above applied, "&amp;" read back as "&". This function can't fail.
std::string LinkAddress(std::string_view address);

// Text from a page (a title, a message) made safe to show: invalid UTF-8 and control characters
// replaced, at most maxChars characters, and the "." of ".flv", ".mp4" and ".m3u8" (in any case)
// written as a full-width stop, so that no text but a file's own link names a video file.
// The result is plain text; escape it with EscapeHtml before writing it into a page.
std::string NeutralText(std::string_view text, std::size_t maxChars = 200);

// "&", "<", ">", '"' and "'" written as character references.
std::string EscapeHtml(std::string_view text);

// The link text of a file: the video's title and what the file is, ending in its extension
// (".mp4", ".m3u8", …), the only place the page names a video file.
std::string LinkText(const Resolution& resolution, const MediaFile& file);

// The small print at the foot of both pages (e.g. "yt-dlp 2023.03.04"); none when empty. Safe
// from any thread. This function can't fail.
void SetSmallPrint(std::string_view text);

// A page that says one sentence (why a request gets no file or page). This function can't fail.
std::string WriteSentencePage(std::string_view sentence);

// GET /: the form. Its first text input "url" takes the address; its first submit button sends
// the form to /resolve.
std::string WriteFormPage();

// GET /resolve: the form again (holding the address asked) and the outcome: the files, one link
// each, or why there are none. base: where the service's own addresses (tunnels, merges) are
// reached, e.g. "http://resolver.example:8765".
std::string WriteResultPage(std::string_view asked, const Outcome& outcome,
                            std::string_view base = {});

}  // namespace resolver
