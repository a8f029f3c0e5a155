# What a user installs: on Linux the Debian package of flashtool with its
# manual page and bash completion (cpack -G DEB, from the package preset);
# on Windows a zip of both programs with a README and the licence. Only the
# component "flashtool" goes into a package, so nothing a test build
# installs (GoogleTest's headers) slips in.
set(CPACK_PACKAGE_NAME flashtool)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Flash Tool developers")
set(CPACK_PACKAGE_CONTACT "The Flash Tool developers <flashtool@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware flasher for CD/DVD drives")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};flashtool;/")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
# The package is made from what is already built; scripts/package builds
# the programs first, and a test build need not be whole to be packaged.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(generated ${CMAKE_BINARY_DIR}/docs)
file(MAKE_DIRECTORY ${generated})

if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME flashtool-${PROJECT_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME flashtool-${PROJECT_VERSION}-win32)
  endif()
  set(CPACK_GENERATOR ZIP)
  # Texts for Notepad: CRLF line ends.
  configure_file(docs/README-Windows.txt.in ${generated}/README-Windows.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(LICENSE ${generated}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS FlashTool flashtool RUNTIME DESTINATION . COMPONENT flashtool)
  install(FILES ${generated}/README-Windows.txt ${generated}/LICENSE.txt DESTINATION . COMPONENT flashtool)
  include(CPack)
  return()
endif()

# The changelog is the record of releases, so its newest entry must be the
# version the package says it is.
file(STRINGS docs/changelog changelog_top LIMIT_COUNT 1)
string(REGEX MATCH "^flashtool \\(([^)]+)\\)" changelog_top "${changelog_top}")
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "docs/changelog begins with version '${CMAKE_MATCH_1}' but the project is "
                      "${PROJECT_VERSION}: add an entry for ${PROJECT_VERSION}")
endif()
# The manual page carries the date of that entry, not the day it was built.
file(STRINGS docs/changelog changelog_dates REGEX "^ -- .*  ")
list(GET changelog_dates 0 release_date)
string(REGEX REPLACE "^ -- .*  " "" release_date "${release_date}")
execute_process(COMMAND date -u -d "${release_date}" +%s
  OUTPUT_VARIABLE release_epoch OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCH "[0-9][0-9][0-9][0-9]" release_year "${release_date}")

find_program(SCDOC scdoc REQUIRED)
find_program(GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${generated}/flashtool.1 ${generated}/flashtool.1.gz
  COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${release_epoch}
          sh ${CMAKE_SOURCE_DIR}/cmake/manpage.sh ${CMAKE_SOURCE_DIR}/docs/flashtool.1.scd ${generated}/flashtool.1
  COMMAND ${GZIP} -9nf -k ${generated}/flashtool.1
  DEPENDS docs/flashtool.1.scd cmake/manpage.sh
  COMMENT "Manual page flashtool(1)" VERBATIM)
# Debian wants its changelog compressed without a name or time stamp, and
# the licence in its own machine-readable copyright format.
add_custom_command(OUTPUT ${generated}/changelog.gz
  COMMAND ${GZIP} -9n -c ${CMAKE_SOURCE_DIR}/docs/changelog > ${generated}/changelog.gz
  DEPENDS docs/changelog)
add_custom_target(flashtool_docs ALL DEPENDS ${generated}/flashtool.1.gz ${generated}/changelog.gz)

file(READ LICENSE licence)
string(FIND "${licence}" "Permission is hereby granted" start)
string(SUBSTRING "${licence}" ${start} -1 licence)
string(STRIP "${licence}" licence)
string(REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REPLACE "\n" "\n " licence "${licence}")
file(WRITE ${generated}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: flashtool

Files: *
Copyright: ${release_year} The Flash Tool developers
License: Expat
 ${licence}
")

install(TARGETS flashtool RUNTIME DESTINATION bin COMPONENT flashtool)
# Stripped the way Debian strips: the compilers' notes go too.
install(CODE "if(CMAKE_INSTALL_DO_STRIP)
  execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment --remove-section=.note
                  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/flashtool\" COMMAND_ERROR_IS_FATAL ANY)
endif()" COMPONENT flashtool)
install(FILES ${generated}/flashtool.1.gz DESTINATION share/man/man1 COMPONENT flashtool)
install(FILES docs/flashtool.bash DESTINATION share/bash-completion/completions
        RENAME flashtool COMPONENT flashtool)
install(FILES ${generated}/copyright ${generated}/changelog.gz DESTINATION share/doc/flashtool
        COMPONENT flashtool)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The completion it installs works only where bash-completion loads it;
# lsscsi and sg_inq are what its manual page sends a reader to.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bash-completion")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "lsscsi, sg3-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DESCRIPTION
"flashtool writes a new firmware image into a CD-ROM, DVD-ROM or CD-RW drive
over SG_IO, block by block, and lists the CD/DVD drives it can reach. It
reads the whole image before it sends anything, asks for confirmation, keeps
the drive to itself while the blocks go out (exclusive claim of the drive,
one lock per drive, the kernel's media polling and system sleep held off,
interrupts held) and waits for the drive to come back with its new firmware.")
include(CPack)
