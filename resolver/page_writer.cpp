// page_writer: the form page and the result page, plain HTML that old browsers show as it is.
#include "page_writer.h"

#include <cstdio>
#include <mutex>

#include "utf8.h"

namespace resolver {

std::string CleanText(std::string_view text, std::size_t maxChars, bool neutralMarkers);

namespace {

constexpr std::string_view kMarkers[] = {".flv", ".mp4", ".m3u8"};
constexpr std::string_view kFullWidthStop = "\xEF\xBC\x8E";  // U+FF0E, in GBK too
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";    // U+FFFD

bool StartsWithMarker(std::string_view text) {
    for (std::string_view marker : kMarkers) {
        if (text.size() >= marker.size()) {
            bool same = true;
            for (std::size_t i = 0; i < marker.size() && same; ++i) {
                char c = text[i];
                if (c >= 'A' && c <= 'Z') {
                    c = static_cast<char>(c - 'A' + 'a');
                }
                same = c == marker[i];
            }
            if (same) {
                return true;
            }
        }
    }
    return false;
}

std::string Human(std::int64_t bytes) {
    char text[32];
    if (bytes >= 1024 * 1024) {
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    } else if (bytes >= 1024) {
        std::snprintf(text, sizeof text, "%.1f KB", static_cast<double>(bytes) / 1024.0);
    } else {
        std::snprintf(text, sizeof text, "%lld bytes", static_cast<long long>(bytes));
    }
    return text;
}

std::string Describe(const MediaFile& file) {
    std::string text;
    switch (file.kind) {
        case FileKind::PictureAndSound:
            text = "picture and sound";
            break;
        case FileKind::PictureOnly:
            text = "picture only";
            break;
        case FileKind::SoundOnly:
            text = "sound only";
            break;
        case FileKind::PlaylistPart:
            text = "a page of its own, not resolved";
            break;
        case FileKind::Merged:
            text = "picture and sound joined by the service as it is sent";
            break;
    }
    if (file.extension == "m3u8") {
        text += ", a stream (HLS playlist)";
    }
    if (file.size) {
        text += file.kind == FileKind::Merged ? ", about " : ", ";
        text += Human(*file.size);
    }
    if (!file.listedPath.empty() && file.kind != FileKind::Merged) {
        text += ", through the service";
    }
    return text;
}

constexpr std::string_view kHead =
    "<!DOCTYPE html>\n"
    "<html>\n<head>\n"
    "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">\n"
    "<title>Reelhawk resolver</title>\n"
    "<style type=\"text/css\">\n"
    "body { font-family: Arial, Helvetica, sans-serif; margin: 16px 24px; color: #222; }\n"
    "h1 { font-size: 20px; } h2 { font-size: 17px; } h3 { font-size: 15px; }\n"
    "li { margin: 4px 0; } .note { color: #666; } .error { color: #a00; }\n"
    "</style>\n</head>\n<body>\n<h1>Reelhawk resolver</h1>\n";

std::mutex smallPrintLock;
std::string smallPrint;  // already escaped, and neutral: it never names a video file

// The end of every page: the small print, when there is any.
void WriteFoot(std::string& page) {
    {
        std::lock_guard lock(smallPrintLock);
        if (!smallPrint.empty()) {
            page += "<p class=\"note\"><small>" + smallPrint + "</small></p>\n";
        }
    }
    page += "</body>\n</html>\n";
}

void WriteForm(std::string& page, std::string_view value) {
    page += "<form action=\"/resolve\" method=\"get\">\n<p>Video page address:<br>\n";
    page += "<input type=\"text\" name=\"url\" size=\"72\" value=\"";
    page += EscapeHtml(CleanText(value, 2083, false));
    page += "\">\n<input type=\"submit\" value=\"Resolve\"></p>\n</form>\n";
}

}  // namespace

std::string EncodeAddressForLink(std::string_view address) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(address.size() + 16);
    for (char ch : address) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7F || ch == ';' || ch == '"' || ch == '<' || ch == '>') {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else if (ch == '&') {
            out += "&amp;";
        } else {
            out += ch;
        }
    }
    return out;
}

std::string LinkAddress(std::string_view address) {
    std::string encoded = EncodeAddressForLink(address);
    std::string out;
    for (std::size_t i = 0; i < encoded.size();) {
        if (encoded.compare(i, 5, "&amp;") == 0) {
            out += '&';
            i += 5;
        } else {
            out += encoded[i++];
        }
    }
    return out;
}

// Valid UTF-8 without control characters, at most maxChars characters; with neutralMarkers the
// "." of every video marker is written as a full-width stop.
std::string CleanText(std::string_view text, std::size_t maxChars, bool neutralMarkers) {
    std::string out;
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size() && chars < maxChars; ++chars) {
        const std::size_t length = Utf8SequenceLength(text.substr(i));
        if (length == 0) {
            out += kReplacement;
            ++i;
        } else if (length == 1 && (static_cast<unsigned char>(text[i]) < 0x20 || text[i] == 0x7F)) {
            out += ' ';
            ++i;
        } else if (neutralMarkers && text[i] == '.' && StartsWithMarker(text.substr(i))) {
            out += kFullWidthStop;
            ++i;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

std::string NeutralText(std::string_view text, std::size_t maxChars) {
    return CleanText(text, maxChars, true);
}

std::string EscapeHtml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        switch (ch) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += ch;
        }
    }
    return out;
}

std::string LinkText(const Resolution& resolution, const MediaFile& file) {
    std::string title = resolution.title;
    if (file.part > 0 && file.part <= static_cast<int>(resolution.parts.size()) &&
        !resolution.parts[file.part - 1].title.empty()) {
        title = resolution.parts[file.part - 1].title;
    }
    std::string text = NeutralText(title.empty() ? "video" : title, 120);
    if (file.kind == FileKind::Merged) {
        text += file.height ? " - " + std::to_string(*file.height) + "p, picture and sound, merged"
                            : " - picture and sound, merged";
    } else if (file.width && file.height) {
        text += " - " + std::to_string(*file.width) + "x" + std::to_string(*file.height);
    } else if (!file.note.empty()) {
        text += " - " + NeutralText(file.note, 40);
    }
    if (file.kind == FileKind::PictureOnly) {
        text += ", picture only";
    } else if (file.kind == FileKind::SoundOnly) {
        text += ", sound only";
    }
    // The extension comes from yt-dlp; only letters and digits go into the name.
    std::string extension;
    for (char c : file.extension) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            extension += c;
        }
    }
    return text + "." + (extension.empty() ? "bin" : extension);
}

void SetSmallPrint(std::string_view text) {
    std::string written = EscapeHtml(NeutralText(text));
    std::lock_guard lock(smallPrintLock);
    smallPrint = std::move(written);
}

std::string WriteSentencePage(std::string_view sentence) {
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Reelhawk resolver</title>"
           "</head><body><p>" +
           EscapeHtml(sentence) + "</p></body></html>\n";
}

std::string WriteFormPage() {
    std::string page(kHead);
    WriteForm(page, "");
    page +=
        "<p class=\"note\">Type the address of a page with a video and press Resolve: the "
        "next page lists the addresses of the files it can be fetched as.</p>\n";
    WriteFoot(page);
    return page;
}

std::string WriteResultPage(std::string_view asked, const Outcome& outcome, std::string_view base) {
    std::string page(kHead);
    WriteForm(page, asked);
    if (!outcome.resolution) {
        page += "<p class=\"error\">" + EscapeHtml(NeutralText(outcome.message, 600)) + "</p>\n";
        page += "<p class=\"note\">Nothing was listed for " + EscapeHtml(NeutralText(asked, 300)) +
                ".</p>\n";
        WriteFoot(page);
        return page;
    }
    const Resolution& r = *outcome.resolution;
    page +=
        "<h2>" + EscapeHtml(NeutralText(r.title.empty() ? "Untitled video" : r.title)) + "</h2>\n";
    if (r.files.empty()) {
        page +=
            "<p class=\"error\">The page has a video, but none of its files can be fetched "
            "with a browser.</p>\n";
    }
    int part = -1;
    for (const MediaFile& file : r.files) {
        if (file.part != part) {
            if (part != -1) {
                page += "</ol>\n";
            }
            part = file.part;
            if (part > 0) {
                const std::string& title = r.parts[part - 1].title;
                page += "<h3>Part " + std::to_string(part) +
                        (title.empty() ? "" : ": " + EscapeHtml(NeutralText(title))) + "</h3>\n";
            }
            page += "<ol>\n";
        }
        page += "<li><a href=\"" + EncodeAddressForLink(ListedAddress(file, base)) + "\">" +
                EscapeHtml(LinkText(r, file)) + "</a> <span class=\"note\">" +
                EscapeHtml(Describe(file)) + "</span></li>\n";
    }
    if (part != -1) {
        page += "</ol>\n";
    }
    if (r.truncated) {
        page += "<p class=\"note\">The page has more videos; the first " +
                std::to_string(kMaxParts) + " are listed.</p>\n";
    }
    WriteFoot(page);
    return page;
}

}  // namespace resolver
