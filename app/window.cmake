# Windows only: the window machinery, the program's window template and handlers, the program.
enable_language(RC)

# Turns any window template into windows; the browser host; start and end of the program.
add_library(reelhawk_window STATIC
    window_template.cpp form.cpp label.cpp browser_host.cpp components.cpp program.cpp
    cursor.cpp dpi.cpp)
reelhawk_defaults(reelhawk_window)
target_link_libraries(reelhawk_window PUBLIC reelhawk_runtime user32 gdi32 ole32 oleaut32 uuid)

# The program's own window template, its handlers and its program-wide objects.
add_library(reelhawk_app STATIC main_window_template.cpp handlers.cpp globals.cpp shell_services.cpp
    list_commands.cpp status_tip.cpp)
reelhawk_defaults(reelhawk_app)
target_compile_definitions(reelhawk_app PRIVATE
    REELHAWK_RESOLVER_URL="${REELHAWK_RESOLVER_URL}")
target_link_libraries(reelhawk_app PUBLIC reelhawk_window reelhawk_page comctl32 comdlg32 shell32)
if(TARGET reelhawk_linkrules)
    target_link_libraries(reelhawk_app PUBLIC reelhawk_linkrules)
endif()

# The icon, the version Explorer shows and the manifest, compiled by windres (kept apart: our
# compiler flags are not for it).
add_library(reelhawk_resources OBJECT reelhawk.rc)
configure_file(version.h.in ${CMAKE_CURRENT_BINARY_DIR}/reelhawk_version.h @ONLY)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(REELHAWK_MANIFEST_ARCH amd64)
else()
    set(REELHAWK_MANIFEST_ARCH x86)
endif()
set(REELHAWK_MANIFEST_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.0.0)
configure_file(reelhawk.manifest.in ${CMAKE_CURRENT_BINARY_DIR}/reelhawk.manifest @ONLY)
set_source_files_properties(reelhawk.rc PROPERTIES
    OBJECT_DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/reelhawk.manifest)
target_include_directories(reelhawk_resources PRIVATE ${CMAKE_CURRENT_BINARY_DIR})

add_executable(reelhawk WIN32 main.cpp)
reelhawk_defaults(reelhawk)
target_link_libraries(reelhawk PRIVATE reelhawk_app reelhawk_resources)
