// The program-wide objects, made before the window and gone after it.
#pragma once

#include <memory>

#include "page/page_automation.h"

namespace rh {

// The one page automation object; set at start-up and not changed until the end routine.
extern std::unique_ptr<PageAutomation> g_pageAutomation;

// Makes the program-wide objects and registers the end routine that destroys them.
void CreateProgramGlobals();

}  // namespace rh
