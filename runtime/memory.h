// The runtime heap: every text and array of the program is allocated here, so that running out of
// memory ends the program with the runtime's own report instead of an exception.
#pragma once

#include <cstddef>
#include <new>

namespace rh {

// Allocates n bytes (not zero-filled). When the heap cannot supply them the failure is reported
// ("分配 %d 字节内存失败!", code 0) and the program ends; the call does not return then.
void* RuntimeAlloc(std::size_t n);
void RuntimeFree(void* block) noexcept;

// Standard allocator over the runtime heap.
template <class T>
struct RuntimeAllocator {
    using value_type = T;
    RuntimeAllocator() noexcept = default;
    template <class U>
    RuntimeAllocator(const RuntimeAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) {
            return static_cast<T*>(RuntimeAlloc(static_cast<std::size_t>(-1)));
        }
        return static_cast<T*>(RuntimeAlloc(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t) noexcept { RuntimeFree(p); }
    template <class U>
    bool operator==(const RuntimeAllocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace rh
