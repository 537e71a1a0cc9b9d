// A child process for the fatal-path tests: it commits one runtime error, chosen by its first
// argument, and must never get past it.
//
//   reelhawk_fatal_helper index-above [marker]   member 1 of an array with no members (error 1)
//   reelhawk_fatal_helper index-below [marker]   member 0 of an array (error 4)
//   reelhawk_fatal_helper alloc N [marker]       an allocation of N bytes (heap exhausted)
//
// With a marker path, an exit routine creates that file; the runtime error must end the process
// without running it. Exit code 3 means the error did not end the process.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/memory.h"
#include "runtime/text.h"

namespace {

std::string g_marker;

void WriteMarker() {
    if (!g_marker.empty()) {
        if (std::FILE* f = std::fopen(g_marker.c_str(), "w")) {
            std::fputs("exit routine ran\n", f);
            std::fclose(f);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: reelhawk_fatal_helper index-above|index-below|alloc N [marker]\n",
                   stderr);
        return 2;
    }
    const std::string what = argv[1];
    const int markerArg = what == "alloc" ? 3 : 2;
    if (argc > markerArg) {
        g_marker = argv[markerArg];
        std::atexit(WriteMarker);
    }

    if (what == "index-above") {
        const rh::TextArray none;
        std::printf("%d\n", static_cast<int>(none[1].size()));
    } else if (what == "index-below") {
        const rh::TextArray two = rh::SplitText("a,b");
        std::printf("%d\n", static_cast<int>(two[0].size()));
    } else if (what == "alloc" && argc > 2) {
        const std::size_t n = std::strtoull(argv[2], nullptr, 10);
        void* block = rh::RuntimeAlloc(n);
        std::printf("%p\n", block);
    } else {
        return 2;
    }
    return 3;
}
