# The SDK that cmake --install lays out, the same on both targets where it can be:
#
#   include/kestrel.h                 the one header
#   lib/cmake/Kestrel/                find_package(Kestrel): the imported target Kestrel::kestrel
#   lib/pkgconfig/kestrel.pc          pkg-config --cflags --libs kestrel
#   Linux:    lib/libkestrel.so*, bin/kestrel-cli
#   Windows:  bin/kestrel.dll, bin/kestrel-cli.exe (both stripped), lib/libkestrel.dll.a
#             (GNU linkers), lib/kestrel.lib (MSVC-style linkers), lib/kestrel.def, README.txt
#
# The layout is fixed (lib, not lib64 or a multiarch folder): the package files below find
# everything relative to their own place, so the tree works wherever it is unpacked.
include(CMakePackageConfigHelpers)

set(KESTREL_SDK_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH})

install(FILES ${CMAKE_SOURCE_DIR}/api/kestrel.h DESTINATION include)
install(FILES ${CMAKE_SOURCE_DIR}/examples/list-and-extract.c ${CMAKE_SOURCE_DIR}/examples/cancel-open.c
              ${CMAKE_SOURCE_DIR}/examples/CMakeLists.txt
        DESTINATION share/kestrel/examples)

if(WIN32)
  install(TARGETS kestrel RUNTIME DESTINATION bin LIBRARY DESTINATION bin ARCHIVE DESTINATION lib)
  install(TARGETS kestrel-cli RUNTIME DESTINATION bin)
  # The import .def names the decorated symbols that a caller's objects refer to, with the
  # export each one is bound to: what another tool needs to write its own import library.
  install(FILES ${CMAKE_BINARY_DIR}/generated/kestrel-import.def DESTINATION lib RENAME kestrel.def)
  if(KESTREL_LLVM_DLLTOOL)
    install(FILES ${CMAKE_BINARY_DIR}/kestrel.lib DESTINATION lib)
  endif()
  configure_file(${CMAKE_SOURCE_DIR}/cmake/sdk/README-win32.txt ${CMAKE_BINARY_DIR}/sdk/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/sdk/README.txt DESTINATION .)
  # The build folder's DLL keeps its debug sections for the tests under Wine; the SDK's
  # copies are stripped (about a third of the size).
  install(CODE "
    foreach(f bin/kestrel.dll bin/kestrel-cli.exe)
      execute_process(COMMAND i686-w64-mingw32-strip --strip-all \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${f}\"
                      RESULT_VARIABLE rc)
      if(NOT rc EQUAL 0)
        message(FATAL_ERROR \"could not strip \${f}\")
      endif()
    endforeach()")
  set(KESTREL_PC_LIBS "-L\${libdir} -lkestrel")
else()
  install(TARGETS kestrel LIBRARY DESTINATION lib)
  install(TARGETS kestrel-cli RUNTIME DESTINATION bin)
  set(KESTREL_PC_LIBS "-L\${libdir} -lkestrel")
endif()

configure_file(${CMAKE_SOURCE_DIR}/cmake/sdk/kestrel.pc.in ${CMAKE_BINARY_DIR}/sdk/kestrel.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/sdk/kestrel.pc DESTINATION lib/pkgconfig)

configure_file(${CMAKE_SOURCE_DIR}/cmake/sdk/KestrelConfig.cmake.in
               ${CMAKE_BINARY_DIR}/sdk/KestrelConfig.cmake @ONLY)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/sdk/KestrelConfigVersion.cmake
                                 VERSION ${KESTREL_SDK_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/sdk/KestrelConfig.cmake ${CMAKE_BINARY_DIR}/sdk/KestrelConfigVersion.cmake
        DESTINATION lib/cmake/Kestrel)

# Packages: a zip of the SDK for Windows, a Debian package of the Linux build.
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VERSION ${KESTREL_SDK_VERSION})
set(CPACK_PACKAGE_VENDOR "Kestrel")
set(CPACK_PACKAGE_CONTACT "Kestrel developers <kestrel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "FTP client library with the C interface of an archiver library")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME kestrel-${KESTREL_SDK_VERSION}-win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"FTP client library with the C interface of an archiver library
 Kestrel opens an FTP directory like an archive: it lists, extracts, adds, renames and
 deletes remote files through a C interface, and runs archiver-style command lines.
 This package holds the library, its header, pkg-config and CMake files, and
 kestrel-cli.")
endif()
include(CPack)
