# Install rules and packages: `cmake --install` and `cpack` both ship the
# executable and its man page; everything else in the tree is for building.
include(GNUInstallDirs)

install(TARGETS http2retlw RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(NOT WIN32)
  install(FILES man/http2retlw.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(HTTP2RETLW_PACKAGE_MAINTAINER
    "http2retlw maintainers <maintainers@users.noreply.c-seed-1a7934ef.example>"
    CACHE STRING "Maintainer named in the packages")

set(CPACK_PACKAGE_NAME http2retlw)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "http2retlw maintainers")
set(CPACK_PACKAGE_CONTACT ${HTTP2RETLW_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "turn a stored HTTP response into a PIC retlw table")
# Lines of the long description: package tools show it as written.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "http2retlw reads one stored HTTP response whose Content-Length header"
  "was left blank, fills in the length of the body and writes PIC"
  "assembler source: a table of retlw instructions carrying a file tag,"
  "the response's 16-bit length, its 16-bit one's-complement sum and"
  "every byte, from which firmware serves the page.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
elseif(APPLE)
  set(CPACK_GENERATOR TGZ ZIP)
else()
  set(CPACK_GENERATOR DEB TGZ ZIP)
endif()

set(CPACK_DEBIAN_PACKAGE_NAME http2retlw)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${HTTP2RETLW_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps reads the exact library versions from the binary. Without
# it the libraries are named unversioned rather than guessed at: only the C
# library when the C++ runtime is linked in.
find_program(HTTP2RETLW_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(HTTP2RETLW_DPKG_SHLIBDEPS)
if(HTTP2RETLW_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
elseif(HTTP2RETLW_STATIC_RUNTIME)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS libc6)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/out/")

include(CPack)
