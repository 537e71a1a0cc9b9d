// Which system code page a test run is for. ctest names it in REELHAWK_SYSTEM_CODE_PAGE for the
// runs made under another locale; when Wine did not take that locale the whole run fails before
// its first test, so a run under the wrong code page cannot pass unnoticed.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

class SystemCodePageCheck : public ::testing::Environment {
  public:
    void SetUp() override {
        char wanted[16] = {};
        const DWORD got =
            GetEnvironmentVariableA("REELHAWK_SYSTEM_CODE_PAGE", wanted, sizeof wanted);
        if (got == 0 || got >= sizeof wanted) {
            return;  // started by hand: whatever the system has
        }
        const UINT expected = static_cast<UINT>(std::strtoul(wanted, nullptr, 10));
        // Not fatal: a fatal failure here would have every test reported as skipped, not failed.
        EXPECT_EQ(GetACP(), expected)
            << "this run is meant for system code page " << expected
            << "; check LANG and LC_ALL (Wine takes the code page from the locale)";
        std::printf("[reelhawk] system code page %u\n", GetACP());
    }
};

const auto* const g_check = ::testing::AddGlobalTestEnvironment(new SystemCodePageCheck);

}  // namespace
