// Every window test runs with OLE initialised on its thread (the browser host needs it), with
// the mouse pointer out of the way of the windows, and with its own stand-in call log.
#include <gtest/gtest.h>
#include <ole2.h>
#include <windows.h>

#include "tests/app/test_support.h"

namespace rh::test {
namespace {

class WindowTestEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr)));
        SetCursorPos(0, 0);
        SetEnvironmentVariableA("REELHAWK_STANDIN_LOG", TemporaryFile("rhl").c_str());
    }
    void TearDown() override { OleUninitialize(); }
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new WindowTestEnvironment);

}  // namespace
}  // namespace rh::test
