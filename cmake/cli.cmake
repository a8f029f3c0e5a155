# flashtool, the command line, from the same engine: over SG_IO on Linux,
# over pass-through as a Windows console program. Option parsing and JSON
# come from Debian's CLI11 and nlohmann-json, both header-only; the MinGW
# build reaches their headers through links in the build folder, since it
# searches no include folder of the host.
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  set(third_party ${CMAKE_BINARY_DIR}/third_party)
  file(MAKE_DIRECTORY ${third_party})
  foreach(headers CLI nlohmann)
    if(NOT EXISTS ${third_party}/${headers})
      file(CREATE_LINK /usr/include/${headers} ${third_party}/${headers} SYMBOLIC)
    endif()
  endforeach()
  add_library(cli_headers INTERFACE)
  target_include_directories(cli_headers SYSTEM INTERFACE ${third_party})
  set(cli_system system/system_windows.cpp system/this_system.cpp cli/words_windows.cpp)
  # The words of sg3_utils' library, which the Windows build cannot link:
  # written out as tables by a tool built and run on the build machine.
  find_program(HOST_CXX NAMES g++ c++ REQUIRED)
  set(generated ${CMAKE_BINARY_DIR}/generated)
  add_custom_command(OUTPUT ${generated}/sense_words.inc
    COMMAND ${CMAKE_COMMAND} -E make_directory ${generated}
    COMMAND ${HOST_CXX} -O1 ${CMAKE_SOURCE_DIR}/cmake/sense_words.cpp -lsgutils2 -o ${generated}/sense_words
    COMMAND ${generated}/sense_words ${generated}/sense_words.inc
    DEPENDS ${CMAKE_SOURCE_DIR}/cmake/sense_words.cpp
    VERBATIM)
  list(APPEND cli_system ${generated}/sense_words.inc)
else()
  find_package(CLI11 REQUIRED)
  find_package(nlohmann_json REQUIRED)
  # logind's sleep inhibitor, over the system bus.
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
  add_library(cli_headers INTERFACE)
  target_link_libraries(cli_headers INTERFACE CLI11::CLI11 nlohmann_json::nlohmann_json PkgConfig::SYSTEMD
    sgutils2 crypto)
  set(cli_system system/system_linux.cpp system/inhibit_linux.cpp system/this_system.cpp cli/words_linux.cpp)
endif()

# The run of a flash, below the command line and above the system's part.
add_library(flashrun STATIC run/flash_run.cpp run/record.cpp)
target_compile_options(flashrun PRIVATE -Wall -Wextra)
target_link_libraries(flashrun PUBLIC flashsys cli_headers)

add_executable(flashtool cli/main.cpp cli/commands.cpp cli/console.cpp cli/flash.cpp cli/hints.cpp
  cli/report.cpp cli/screen.cpp ${cli_system})
target_compile_definitions(flashtool PRIVATE FLASHTOOL_VERSION="${PROJECT_VERSION}")
target_compile_options(flashtool PRIVATE -Wall -Wextra)
target_link_libraries(flashtool PRIVATE flashrun flashsys cli_headers)
set_target_properties(flashtool PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  target_include_directories(flashtool PRIVATE ${generated})
  target_link_options(flashtool PRIVATE ${FLASHTOOL_STATIC_LINK})
  target_link_libraries(flashtool PRIVATE advapi32)  # SHA-256 of the image, by CryptoAPI
  # Windows file names ignore case: a console flashtool.exe would take the
  # place of FlashTool.exe when the two are copied into one folder.
  set_target_properties(flashtool PROPERTIES OUTPUT_NAME flashtool-cli)
  target_sources(flashtool PRIVATE res/flashtool-cli.rc)
  set_source_files_properties(res/flashtool-cli.rc PROPERTIES OBJECT_DEPENDS
    "${CMAKE_SOURCE_DIR}/res/versioninfo.rc;${CMAKE_BINARY_DIR}/res/version.h")
endif()
