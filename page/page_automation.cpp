#include "page/page_automation.h"

#include <objbase.h>

namespace rh {

PageAutomation::PageAutomation() { CoInitialize(nullptr); }

PageAutomation::~PageAutomation() { CoUninitialize(); }

}  // namespace rh
