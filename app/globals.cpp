#include "app/globals.h"

#include "app/program.h"

namespace rh {

std::unique_ptr<PageAutomation> g_pageAutomation;

namespace {

void DestroyProgramGlobals() {
    g_pageAutomation.reset();
}

}  // namespace

void CreateProgramGlobals() {
    g_pageAutomation = std::make_unique<PageAutomation>();
    RegisterEndRoutine(&DestroyProgramGlobals);
}

}  // namespace rh
