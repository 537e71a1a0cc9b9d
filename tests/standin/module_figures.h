#pragma once
// What the stand-in browser's module says about itself through its exports (live objects, calls,
// and on Chromium what Chromium holds), read from the module this process has loaded.

#include <windows.h>

namespace standin_test {

// The figure an export gives; -1 when the module is not loaded or has no such export.
template <class Figure = LONG>
Figure StandinFigure(const char* exportName) {
    using Read = Figure(WINAPI*)();
    HMODULE module = GetModuleHandleA("reelhawk_standin.dll");
    auto read = reinterpret_cast<Read>(
        reinterpret_cast<void*>(module ? GetProcAddress(module, exportName) : nullptr));
    return read ? read() : Figure(-1);
}

}  // namespace standin_test
