# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (posix threads flavour).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)
set(MINGW_WIDL ${MINGW_PREFIX}-widl)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Tests and helper programs run under Wine, through a small script that starts a program once
# more when Wine failed to start it at all; the scripts set up the prefix and the display.
get_filename_component(_reelhawk_wine_emulator "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-emulator.sh"
                       ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR bash "${_reelhawk_wine_emulator}")
