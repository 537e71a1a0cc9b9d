// options: the service's command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace resolver {

inline constexpr const char* kVersion = "1.0";

struct Options {
    std::string host = "127.0.0.1";
    int port = 8765;
    int workers = 0;  // 0: one per core
    int queue = 64;
    int timeoutSeconds = 30;
    int cacheTtlSeconds = 300;
    int cacheEntries = 1000;
    int rateMax = 20;
    int rateWindowSeconds = 60;
    bool allowPrivate = false;
    std::vector<std::string> allowAddresses;  // CIDR ranges, checked when parsed
    int workerRequests = 500;
    int workerMemoryMiB = 512;
    std::string python = "/usr/bin/python3";
    std::string redis;                        // redis://HOST:PORT, checked when parsed; empty: none
    std::vector<std::string> trustedProxies;  // addresses or CIDR ranges, checked when parsed
    int maxConnections = 4096;
    int requestTimeoutSeconds = 10;
    std::string tunnel = "auto";  // auto, always or never
    std::string publicUrl;        // http(s)://HOST[:PORT], checked when parsed; empty: as asked
    int tunnelTtlSeconds = 3600;
    int tunnelStreams = 256;
    int tunnelClientStreams = 16;
    int merges = 0;  // 0: twice the cores
    int maxDurationSeconds = 10800;
};

// Parses the command line. Returns nullopt when the program should end, with exitCode set: 0
// after --help or --version (printed), 2 after a usage error (said on stderr).
std::optional<Options> ParseOptions(int argc, char** argv, int* exitCode);

}  // namespace resolver
