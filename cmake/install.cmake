# The SDK that cmake --install lays out, the same on both targets where it can be:
#
#   include/kestrel.h                 the one header
#   lib/cmake/Kestrel/                find_package(Kestrel): the imported target Kestrel::kestrel
#   lib/pkgconfig/kestrel.pc          pkg-config --cflags --libs kestrel
#   share/man/man1/kestrel-cli.1, share/man/man3/kestrel.3 (compressed on Linux)
#   Linux:    lib/libkestrel.so*, bin/kestrel-cli, share/doc/kestrel/{LICENSE,CHANGELOG.md}
#   Windows:  bin/kestrel.dll, bin/kestrel-cli.exe (both stripped), lib/libkestrel.dll.a
#             (GNU linkers), lib/kestrel.lib (MSVC-style linkers), lib/kestrel.def, README.txt,
#             LICENSE, CHANGELOG.md
#
# The layout is fixed (lib, not lib64 or a multiarch folder): the package files below find
# everything relative to their own place, so the tree works wherever it is unpacked.
include(CMakePackageConfigHelpers)

# Whoever builds the packages answers for them: their address goes into the Debian
# packages' Maintainer field and changelog.
set(KESTREL_PACKAGE_CONTACT "The Kestrel developers <kestrel@example.org>" CACHE STRING
    "Maintainer of the packages, as Name <address>")

set(KESTREL_SDK_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH})

# Components, one per Debian package: lib (the shared library), dev (what a program is
# built with), cli (the program). docs holds the licence and the changelog as the SDK
# and the zip carry them; each Debian package has its own copies in its doc folder.
install(FILES ${PROJECT_SOURCE_DIR}/api/kestrel.h DESTINATION include COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/examples/list-and-extract.c ${PROJECT_SOURCE_DIR}/examples/cancel-open.c
              ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt
        DESTINATION share/kestrel/examples COMPONENT dev)

if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md DESTINATION . COMPONENT docs)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/man/kestrel-cli.1 DESTINATION share/man/man1 COMPONENT cli)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/man/kestrel.3 DESTINATION share/man/man3 COMPONENT dev)
  install(TARGETS kestrel RUNTIME DESTINATION bin LIBRARY DESTINATION bin ARCHIVE DESTINATION lib)
  install(TARGETS kestrel-cli RUNTIME DESTINATION bin)
  # The import .def names the decorated symbols that a caller's objects refer to, with the
  # export each one is bound to: what another tool needs to write its own import library.
  install(FILES ${KESTREL_IMPORT_DEF} DESTINATION lib RENAME kestrel.def)
  if(KESTREL_LLVM_DLLTOOL)
    install(FILES ${PROJECT_BINARY_DIR}/kestrel.lib DESTINATION lib)
  endif()
  if(KESTREL_WIN64)
    set(KESTREL_SDK_MACHINE "64-bit (x64)")
    set(KESTREL_SDK_DLL_KIND "64-bit, exports by undecorated name")
    set(KESTREL_SDK_DEF_KIND "x64 names are not decorated")
    set(KESTREL_SDK_LINK_NOTE "Both import libraries bind the names that kestrel.h makes your compiler emit
(KestrelGetVersion, Kestrel, ...: x64 has one calling convention and no decoration)
to the DLL's exports. A 32-bit program needs the x86 folder's files instead.")
  else()
    set(KESTREL_SDK_MACHINE "32-bit (x86)")
    set(KESTREL_SDK_DLL_KIND "32-bit, stdcall exports by undecorated name")
    set(KESTREL_SDK_DEF_KIND "and the decorated names that callers refer to")
    set(KESTREL_SDK_LINK_NOTE "Both import libraries bind the decorated stdcall names that kestrel.h makes your
compiler emit (_KestrelGetVersion@0, _Kestrel@16, ...) to the DLL's undecorated exports.")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/sdk/README-win32.txt ${PROJECT_BINARY_DIR}/sdk/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/sdk/README.txt DESTINATION .)
  # The build folder's DLL keeps its debug sections for the tests under Wine; the SDK's
  # copies are stripped (about a third of the size).
  install(CODE "
    foreach(f bin/kestrel.dll bin/kestrel-cli.exe)
      execute_process(COMMAND ${KESTREL_MINGW}-strip --strip-all \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${f}\"
                      RESULT_VARIABLE rc)
      if(NOT rc EQUAL 0)
        message(FATAL_ERROR \"could not strip \${f}\")
      endif()
    endforeach()")
  set(KESTREL_PC_LIBS "-L\${libdir} -lkestrel")
else()
  install(TARGETS kestrel LIBRARY DESTINATION lib COMPONENT lib NAMELINK_SKIP)
  install(TARGETS kestrel LIBRARY DESTINATION lib COMPONENT dev NAMELINK_ONLY)
  install(TARGETS kestrel-cli RUNTIME DESTINATION bin COMPONENT cli)
  include(cmake/debian.cmake)
  set(KESTREL_PC_LIBS "-L\${libdir} -lkestrel")
endif()

configure_file(${PROJECT_SOURCE_DIR}/cmake/sdk/kestrel.pc.in ${PROJECT_BINARY_DIR}/sdk/kestrel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/sdk/kestrel.pc DESTINATION lib/pkgconfig COMPONENT dev)

configure_file(${PROJECT_SOURCE_DIR}/cmake/sdk/KestrelConfig.cmake.in
               ${PROJECT_BINARY_DIR}/sdk/KestrelConfig.cmake @ONLY)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/sdk/KestrelConfigVersion.cmake
                                 VERSION ${KESTREL_SDK_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/sdk/KestrelConfig.cmake ${PROJECT_BINARY_DIR}/sdk/KestrelConfigVersion.cmake
        DESTINATION lib/cmake/Kestrel COMPONENT dev)

# Packages: a zip of the SDK for Windows, Debian packages of the Linux build (their
# settings are in cmake/debian.cmake).
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VERSION ${KESTREL_SDK_VERSION})
set(CPACK_PACKAGE_VENDOR "Kestrel")
set(CPACK_PACKAGE_CONTACT "${KESTREL_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
if(WIN32)
  # (The Debian packages have a synopsis each.)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "FTP client library with the C interface of an archiver library")
  set(CPACK_GENERATOR ZIP)
  if(KESTREL_WIN64)
    set(CPACK_PACKAGE_FILE_NAME kestrel-${KESTREL_SDK_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME kestrel-${KESTREL_SDK_VERSION}-win32)
  endif()
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
# Inside another project the packages are that project's business.
if(CMAKE_SOURCE_DIR STREQUAL PROJECT_SOURCE_DIR)
  include(CPack)
endif()
