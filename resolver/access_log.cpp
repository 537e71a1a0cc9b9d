// access_log: the access log's lines.
#include "access_log.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace resolver {
namespace {

std::string UtcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms));
    return text;
}

}  // namespace

std::string QuotedForLog(const std::string& text) {
    std::string out = "\"";
    for (char ch : text.substr(0, 2100)) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c >= 0x7F || ch == '"' || ch == '\\') {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string AccessLine(const AccessEntry& e) {
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.1fms", e.milliseconds);
    std::string line = UtcNow() + " " + e.client + " " + std::to_string(e.status) + " " + e.method +
                       " " + QuotedForLog(e.path) + " " + (e.asked ? QuotedForLog(*e.asked) : "-") +
                       " " + duration + " cache=" + e.cache;
    if (e.bytes) {
        line += " bytes=" + std::to_string(*e.bytes);
    }
    if (!e.failure.empty()) {
        line += " cut=" + QuotedForLog(e.failure);
    }
    return line + "\n";
}

void WriteAccessLog(const AccessEntry& entry) {
    static std::mutex out;
    const std::string line = AccessLine(entry);
    std::lock_guard lock(out);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

}  // namespace resolver
