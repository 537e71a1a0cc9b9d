// Reelhawk: finds the download addresses of web videos through a resolving page that it keeps
// loaded in a hidden browser.
#include <windows.h>

#include "app/globals.h"
#include "app/main_window_template.h"
#include "app/program.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return rh::RunProgram(&rh::MainWindowTemplate(), &rh::CreateProgramGlobals);
}
