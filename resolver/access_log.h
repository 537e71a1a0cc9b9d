// access_log: one line on stdout per answer, written once the answer has gone out (or failed).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace resolver {

struct AccessEntry {
    std::string client;
    unsigned status = 0;
    std::string method;
    std::string path;
    std::optional<std::string> asked;  // the url parameter, when there is one
    double milliseconds = 0;
    std::string cache = "-";             // hit, miss, shared or -
    std::optional<std::uint64_t> bytes;  // of a streamed body (a tunnel or a merge)
    std::string failure;                 // why a streamed answer was cut
};

// The line: "TIME CLIENT STATUS METHOD "PATH" "ADDRESS"|- 12.3ms cache=hit", then for a streamed
// answer " bytes=N" and, when it was cut, " cut="WHY"". Texts are quoted with every byte outside
// printable ASCII (and '"', '\') written as \xHH, so no request can forge or split a line. This
// function can't fail.
std::string AccessLine(const AccessEntry& entry);

// Writes the line to stdout, whole, and flushes it. This function can't fail.
void WriteAccessLog(const AccessEntry& entry);

// The text as AccessLine quotes it, at most 2,100 bytes of it.
std::string QuotedForLog(const std::string& text);

}  // namespace resolver
