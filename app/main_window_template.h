// The program's one window, as a stored template.
#pragma once

#include "app/window_template.h"

namespace rh {

// The stored template of the main window (check it with LoadWindowTemplate before use).
const WindowTemplate& MainWindowTemplate();

// The address of the video-address resolving page that the hidden browser loads.
const char* ResolverAddress();

}  // namespace rh
