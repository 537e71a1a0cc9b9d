#pragma once
// For tests that drive the stand-in browser: which engine is behind it in this run, what its
// module says about itself through its exports (live objects, calls, and on Chromium what
// Chromium holds), and environment variables it reads set for a while.

#include <windows.h>

#include <string>

namespace standin_test {

// Whether Chromium is behind the stand-in browser in this run (REELHAWK_STANDIN_ENGINE=chromium),
// not the document model.
inline bool UnderChromium() {
    char engine[32] = {};
    GetEnvironmentVariableA("REELHAWK_STANDIN_ENGINE", engine, sizeof engine);
    return lstrcmpiA(engine, "chromium") == 0;
}

// The figure an export gives; -1 when the module is not loaded or has no such export.
template <class Figure = LONG>
Figure StandinFigure(const char* exportName) {
    using Read = Figure(WINAPI*)();
    HMODULE module = GetModuleHandleA("reelhawk_standin.dll");
    auto read = reinterpret_cast<Read>(
        reinterpret_cast<void*>(module ? GetProcAddress(module, exportName) : nullptr));
    return read ? read() : Figure(-1);
}

// An environment variable set (null: removed) for the object's lifetime, then as it was.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const char* value) : name_(name) {
        const DWORD length = GetEnvironmentVariableA(name, nullptr, 0);
        if (length > 0) {
            saved_.resize(length);
            saved_.resize(GetEnvironmentVariableA(name, saved_.data(), length));
            wasSet_ = true;
        }
        SetEnvironmentVariableA(name, value);
    }
    ~ScopedEnvironment() {
        SetEnvironmentVariableA(name_.c_str(), wasSet_ ? saved_.c_str() : nullptr);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    std::string name_;
    std::string saved_;
    bool wasSet_ = false;
};

}  // namespace standin_test
