#include "runtime/memory.h"

#include <cstdlib>
#include <string>

#include "runtime/error.h"

namespace rh {

void* RuntimeAlloc(std::size_t n) {
    // malloc(0) may give null; a zero-byte request still gets a block of its own.
    void* block = std::malloc(n == 0 ? 1 : n);
    if (block == nullptr) {
        std::string message = "分配 " + std::to_string(n) + " 字节内存失败!";
        ReportRuntimeError(message, 0);
    }
    return block;
}

void RuntimeFree(void* block) noexcept { std::free(block); }

}  // namespace rh
