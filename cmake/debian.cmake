# The Linux build's documents and its Debian packages, one per component:
#
#   libkestrel0      lib   usr/lib/libkestrel.so.0*, shlibs, ldconfig trigger
#   libkestrel-dev   dev   header, the libkestrel.so link, pkg-config and CMake files,
#                          the example, kestrel(3)
#   kestrel-cli      cli   usr/bin/kestrel-cli, kestrel-cli(1)
#
# Every package carries usr/share/doc/<package>/copyright (made from LICENSE) and
# changelog.gz (made from CHANGELOG.md; a package whose version has no Debian revision
# takes that file as its only changelog). A plain cmake --install leaves those out and
# puts LICENSE and CHANGELOG.md into share/doc/kestrel instead.

set(kestrel_deb_work ${PROJECT_BINARY_DIR}/debian)
file(MAKE_DIRECTORY ${kestrel_deb_work})

find_program(KESTREL_GZIP gzip REQUIRED)
# -n: no name or time stamp inside, so a rebuild makes the same bytes.
function(kestrel_gzip source target)
  execute_process(COMMAND ${KESTREL_GZIP} -9n -c ${source} OUTPUT_FILE ${target} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip ${source} failed")
  endif()
endfunction()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md
             ${PROJECT_SOURCE_DIR}/docs/man/kestrel-cli.1 ${PROJECT_SOURCE_DIR}/docs/man/kestrel.3)

# Manual pages go compressed, as the system's own do.
kestrel_gzip(${PROJECT_SOURCE_DIR}/docs/man/kestrel-cli.1 ${kestrel_deb_work}/kestrel-cli.1.gz)
kestrel_gzip(${PROJECT_SOURCE_DIR}/docs/man/kestrel.3 ${kestrel_deb_work}/kestrel.3.gz)
install(FILES ${kestrel_deb_work}/kestrel-cli.1.gz DESTINATION share/man/man1 COMPONENT cli)
install(FILES ${kestrel_deb_work}/kestrel.3.gz DESTINATION share/man/man3 COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md
        DESTINATION share/doc/kestrel COMPONENT docs)

# copyright in the machine-readable form: the licence's text from LICENSE, each line
# indented by one blank and empty lines written as " .".
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE licence_lines)
set(licence_text "")
set(in_terms FALSE)
foreach(line IN LISTS licence_lines)
  if(line MATCHES "^Permission is hereby granted")
    set(in_terms TRUE)
  endif()
  if(NOT in_terms)
    continue()
  endif()
  if(line STREQUAL "")
    string(APPEND licence_text " .\n")
  else()
    string(APPEND licence_text " ${line}\n")
  endif()
endforeach()
if(NOT in_terms)
  message(FATAL_ERROR "LICENSE holds no licence terms")
endif()
file(WRITE ${kestrel_deb_work}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: kestrel
Upstream-Contact: ${KESTREL_PACKAGE_CONTACT}

Files: *
Copyright: 2026 The Kestrel developers
License: Expat

License: Expat
${licence_text}")

# changelog in Debian's form: one entry per "## version (YYYY-MM-DD)" heading of
# CHANGELOG.md, newest first as there, its "- " items as "  * " items wrapped to 78
# columns; "###" group headings and other lines are left out.
file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG.md changelog_lines)
set(deb_changelog "")
set(entry_version "")
set(entry_date "")
set(entry_items "")
set(item "")
function(kestrel_wrap_item text out)
  string(REGEX REPLACE "`" "" text "${text}")
  # A semicolon would split the list of words: it travels as a marker.
  string(REPLACE ";" "<semicolon>" text "${text}")
  string(REPLACE " " ";" words "${text}")
  set(result "")
  set(line "  *")
  foreach(word IN LISTS words)
    if(word STREQUAL "")
      continue()
    endif()
    string(LENGTH "${line} ${word}" length)
    if(length GREATER 78 AND NOT line MATCHES "^ +\\*?$")
      string(APPEND result "${line}\n")
      set(line "   ")
    endif()
    string(APPEND line " ${word}")
  endforeach()
  string(APPEND result "${line}\n")
  string(REPLACE "<semicolon>" ";" result "${result}")
  set(${out} "${result}" PARENT_SCOPE)
endfunction()
macro(kestrel_end_item)
  if(NOT item STREQUAL "")
    kestrel_wrap_item("${item}" wrapped)
    string(APPEND entry_items "${wrapped}")
    set(item "")
  endif()
endmacro()
macro(kestrel_end_entry)
  kestrel_end_item()
  if(NOT entry_version STREQUAL "")
    execute_process(COMMAND date -R -u -d "${entry_date}" OUTPUT_VARIABLE rfc_date
                    OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0 OR entry_items STREQUAL "")
      message(FATAL_ERROR "CHANGELOG.md: version ${entry_version} needs a date and items")
    endif()
    string(APPEND deb_changelog "kestrel (${entry_version}) unstable; urgency=medium\n\n"
           "${entry_items}\n -- ${KESTREL_PACKAGE_CONTACT}  ${rfc_date}\n\n")
  endif()
  set(entry_items "")
endmacro()
foreach(line IN LISTS changelog_lines)
  if(line MATCHES "^## ([0-9][^ ]*) \\(([0-9]+-[0-9]+-[0-9]+)\\)")
    kestrel_end_entry()
    set(entry_version ${CMAKE_MATCH_1})
    set(entry_date ${CMAKE_MATCH_2})
  elseif(entry_version STREQUAL "")
    continue()
  elseif(line MATCHES "^- (.*)")
    kestrel_end_item()
    set(item "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^  +(.*)" AND NOT item STREQUAL "")
    string(APPEND item " ${CMAKE_MATCH_1}")
  else()
    kestrel_end_item()
  endif()
endforeach()
kestrel_end_entry()
if(NOT deb_changelog MATCHES "^kestrel \\(${KESTREL_SDK_VERSION}\\)")
  message(FATAL_ERROR "CHANGELOG.md's newest entry is not ${KESTREL_SDK_VERSION} (with its date)")
endif()
string(REGEX REPLACE "\n\n$" "\n" deb_changelog "${deb_changelog}")
file(WRITE ${kestrel_deb_work}/changelog "${deb_changelog}")
kestrel_gzip(${kestrel_deb_work}/changelog ${kestrel_deb_work}/changelog.gz)

foreach(component lib dev cli)
  if(component STREQUAL lib)
    set(package libkestrel0)
  elseif(component STREQUAL dev)
    set(package libkestrel-dev)
  else()
    set(package kestrel-cli)
  endif()
  # Only the packages take these: a plain install has share/doc/kestrel.
  install(FILES ${kestrel_deb_work}/copyright ${kestrel_deb_work}/changelog.gz
          DESTINATION share/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev cli)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KESTREL_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SOURCE kestrel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# shlibs names libkestrel0 of this version or later for the soname; CPack adds the
# ldconfig trigger with it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libkestrel0)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
# dpkg runs ldconfig once at the end of a whole run on this trigger. CPack also writes a
# postinst and a postrm that call ldconfig themselves, once per package; the script run
# after the packages are made (debian-post-build.cmake) takes those two out again.
file(WRITE ${kestrel_deb_work}/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${kestrel_deb_work}/triggers)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian-post-build.cmake)
# Each description: the synopsis, then the long text (CPack indents it and writes empty
# lines as " .").
set(CPACK_DEBIAN_LIB_DESCRIPTION
"FTP client library with the C interface of an archiver library
Kestrel opens an FTP directory like an archive: it lists, extracts, adds,
renames and deletes remote files through a C interface, streams one remote
file block by block, and runs archiver-style command lines. ftpes:// and
ftps:// connect over TLS.

This package holds the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkestrel-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libkestrel0 (= ${KESTREL_SDK_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION
"development files of the Kestrel FTP client library
Kestrel opens an FTP directory like an archive: it lists, extracts, adds,
renames and deletes remote files through a C interface.

This package holds the header kestrel.h, the link to the shared library,
the pkg-config and CMake package files, an example and kestrel(3).")

set(CPACK_DEBIAN_CLI_PACKAGE_NAME kestrel-cli)
set(CPACK_DEBIAN_CLI_PACKAGE_SECTION net)
# The program loads the library by name at run time, which dpkg-shlibdeps cannot see.
set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS "libkestrel0 (= ${KESTREL_SDK_VERSION})")
set(CPACK_DEBIAN_CLI_DESCRIPTION
"console program of the Kestrel FTP client library
kestrel-cli lists an FTP directory, extracts, prints and adds files, and
makes, removes, renames and deletes them on the server, from archiver-style
command lines, with a status panel on a terminal.")
