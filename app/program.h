// Start and end of a program whose user interface is one window built from a template.
#pragma once

#include "app/window_template.h"

namespace rh {

// Registers the routine that runs once when the program ends normally: after the message loop
// has ended and the window is gone. A runtime error ends the process without it.
void RegisterEndRoutine(void (*routine)());

// Runs the registered end routine, at most once over the whole run.
void RunEndRoutine();

// Makes the folder that holds the program file the current directory.
void EnterProgramFolder();

// The whole run: program folder, OLE, the template (an unusable one is a fatal runtime error),
// then createGlobals (which makes the program-wide objects and registers the end routine), the
// window from the template (a window that cannot be built is a fatal runtime error), the message
// loop until the last window has gone, the end routine, and OLE's end. Returns the exit code, 0.
int RunProgram(const WindowTemplate* storedTemplate, void (*createGlobals)());

}  // namespace rh
