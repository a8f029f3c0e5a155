# The Windows side: the program, its Win32 modules and the two Wine tiers.
enable_language(RC)

# Wine needs a prefix of the matching word size; both tiers share one per build.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(FLASHTOOL_WINEARCH win64)
else()
  set(FLASHTOOL_WINEARCH win32)
endif()
set(FLASHTOOL_WINE_RUN ${CMAKE_SOURCE_DIR}/scripts/lib/wine-run)
set(FLASHTOOL_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)

# Everything links the C and C++ runtimes statically: the exe must run on a
# bare Windows with nothing but the system DLLs.
set(FLASHTOOL_STATIC_LINK -static -static-libgcc -static-libstdc++)
set(FLASHTOOL_SYSTEM_LIBS comctl32 comdlg32 advapi32 user32 gdi32 kernel32)

# Transports and discovery on Windows: what the window and the command line
# both stand on.
add_library(flashsys STATIC
  transport/aspi.cpp
  transport/image_file_win32.cpp
  transport/passthrough.cpp
  discovery/aspi_walk.cpp
  discovery/comeback.cpp
  discovery/letter_scan.cpp
)
target_compile_definitions(flashsys PUBLIC WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0500 WINVER=0x0500)
target_compile_options(flashsys PRIVATE -Wall -Wextra)
target_link_libraries(flashsys PUBLIC flashcore kernel32)

# The Win32 program without its entry point, so that the Windows tests link it.
add_library(flashwin STATIC
  app/app_state.cpp
  app/aspi_binding.cpp
  app/busy_token.cpp
  app/device_list.cpp
  app/failure_dialog.cpp
  app/flash_job.cpp
  app/flash_start.cpp
  app/image_choice.cpp
  app/main_window.cpp
  app/resource_text.cpp
  app/session_guard.cpp
  app/startup.cpp
)
target_compile_options(flashwin PRIVATE -Wall -Wextra)
target_link_libraries(flashwin PUBLIC flashsys ${FLASHTOOL_SYSTEM_LIBS})

add_executable(FlashTool WIN32 app/winmain.cpp res/flashtool.rc)
target_link_libraries(FlashTool PRIVATE flashwin)
target_link_options(FlashTool PRIVATE ${FLASHTOOL_STATIC_LINK})
set_target_properties(FlashTool PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
# windres reads the .rc as UTF-8 so that the Chinese texts arrive as UTF-16.
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -c 65001")
# The version resource of both programs takes the project's version from a
# header made here; windres finds it through the folder it is made in.
set(version_patch 0)
if(PROJECT_VERSION_PATCH)
  set(version_patch ${PROJECT_VERSION_PATCH})
endif()
set(FLASHTOOL_VERSION_NUMBERS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${version_patch},0")
configure_file(res/version.h.in ${CMAKE_BINARY_DIR}/res/version.h @ONLY)
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -I ${CMAKE_BINARY_DIR}/res")

include(cmake/cli.cmake)

add_subdirectory(tests/win)
add_subdirectory(tests/vaspi)
# The end-to-end tier arrives with its driver.
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/e2e/CMakeLists.txt)
  add_subdirectory(tests/e2e)
endif()

# windres pulls these in by name; Ninja would not notice them changing.
set_source_files_properties(res/flashtool.rc PROPERTIES OBJECT_DEPENDS
  "${CMAKE_SOURCE_DIR}/res/flashtool.ico;${CMAKE_SOURCE_DIR}/res/flashtool.manifest")
set_property(SOURCE res/flashtool.rc APPEND PROPERTY OBJECT_DEPENDS
  ${CMAKE_SOURCE_DIR}/res/versioninfo.rc ${CMAKE_BINARY_DIR}/res/version.h)
