# Install rules and packages. The files, as install components:
#   Program        the executables the host's loader starts, bin/http2retlw
#                  and bin/http2retlw-site;
#   StaticProgram  on Linux, the fully static ones in their place, for the
#                  archives (see CMakeLists.txt); nothing else installs it;
#   Runtime        everything beside the program that users of it need: the
#                  man page (gzipped outside Windows) and whatever else is
#                  installed for them;
#   Docs           share/doc/http2retlw/copyright and changelog.gz, the
#                  licence and release history as Debian lays them out;
#   Archive        LICENSE and README.md at the top of a TGZ or ZIP.
# `cmake --install` and the .deb install Program, Runtime and Docs; the TGZ
# and ZIP carry StaticProgram (Program where there is none), Runtime and
# Archive. On Windows everything lands in one folder.
# Included by the top-level project only: a project that adds this tree
# installs and packs its own files.
include(GNUInstallDirs)

set(HTTP2RETLW_PACKAGE_MAINTAINER
    "http2retlw maintainers <maintainers@users.noreply.c-seed-1a7934ef.example>"
    CACHE STRING "Maintainer named in the packages")

if(WIN32)
  # A Windows user unpacks one folder: the program beside its README and
  # licence. The C++ runtime is linked in, so no DLL goes with it.
  install(TARGETS http2retlw http2retlw_site RUNTIME DESTINATION .
          COMPONENT Program)
  install(FILES README.md LICENSE DESTINATION . COMPONENT Archive)
else()
  install(TARGETS http2retlw http2retlw_site
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Program)
  install(FILES README.md LICENSE DESTINATION . COMPONENT Archive
          EXCLUDE_FROM_ALL)
endif()
if(TARGET http2retlw_static)
  install(TARGETS http2retlw_static http2retlw_site_static
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT StaticProgram EXCLUDE_FROM_ALL)
  set(archive_program StaticProgram)
else()
  set(archive_program Program)
endif()

# Sets OUT to the day YYYY-MM-DD as RFC 2822 writes it ("Mon, 07 Dec 2026"),
# from the host's date tool: GNU date's -d, or BSD date's -j -f on macOS.
# The C locale keeps the names English. WHERE names the line for messages.
function(http2retlw_rfc2822_day iso out where)
  set(format "+%a, %d %b %Y")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C date -u -d ${iso} ${format}
    OUTPUT_VARIABLE day OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE status ERROR_QUIET)
  if(NOT status STREQUAL "0")
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C date -u -j -f %Y-%m-%d ${iso} ${format}
      OUTPUT_VARIABLE day OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE status ERROR_QUIET)
  endif()
  # BSD date rolls a day that does not exist (02-30) over into the next
  # month; the day written must be the one in the heading.
  string(SUBSTRING ${iso} 8 2 day_of_month)
  if(NOT status STREQUAL "0" OR NOT day MATCHES "^[A-Z][a-z][a-z], ${day_of_month} ")
    message(FATAL_ERROR "${where}: ${iso} is not a date that `date` can read")
  endif()
  set(${out} "${day}" PARENT_SCOPE)
endfunction()

# Writes OUT, the Debian changelog of the package, from the human-written
# CHANGELOG.md (a native package's changelog.gz must be in Debian's format).
# Each "## VERSION (YYYY-MM-DD)" heading starts an entry, each "- " item
# becomes a "  * " item, its indented lines follow it; the newest entry must
# be the project's version. The date comes from the file, not the clock.
function(http2retlw_debian_changelog markdown out)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${markdown})
  file(READ ${markdown} text)
  string(REPLACE "\r" "" text "${text}")
  # Semicolons and brackets would split or glue list items: hide them
  # while the text is a list of lines.
  string(ASCII 1 semicolon)
  string(ASCII 2 open)
  string(ASCII 3 close)
  string(REPLACE ";" "${semicolon}" text "${text}")
  string(REPLACE "[" "${open}" text "${text}")
  string(REPLACE "]" "${close}" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")

  set(result "")
  set(trailer "")
  set(newest "")
  set(newer_iso "")
  set(number 0)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    if(line MATCHES "^## ([0-9][0-9.]*) \\(([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9])\\)$")
      set(version ${CMAKE_MATCH_1})
      set(iso ${CMAKE_MATCH_2})
      # dpkg and lintian want each entry strictly newer than the next.
      if(NOT newer_iso STREQUAL "" AND NOT iso STRLESS newer_iso)
        message(FATAL_ERROR "${markdown}:${number}: ${version} is dated ${iso}, not before the release above it (${newer_iso})")
      endif()
      set(newer_iso ${iso})
      http2retlw_rfc2822_day(${iso} day "${markdown}:${number}")
      if(newest STREQUAL "")
        set(newest ${version})
      endif()
      string(APPEND result "${trailer}http2retlw (${version}) unstable; urgency=medium\n\n")
      set(trailer "\n -- ${HTTP2RETLW_PACKAGE_MAINTAINER}  ${day} 00:00:00 +0000\n\n")
    elseif(newest STREQUAL "" OR line STREQUAL "")
      # The title and introduction above the first release, empty lines.
    elseif(line MATCHES "^(- |  )(.*)$")
      string(LENGTH "${line}" length)
      if(length GREATER 78)
        # Two more columns in Debian's format; lintian wants at most 80.
        message(FATAL_ERROR "${markdown}:${number}: longer than 78 characters")
      endif()
      if(CMAKE_MATCH_1 STREQUAL "- ")
        string(APPEND result "  * ${CMAKE_MATCH_2}\n")
      else()
        string(APPEND result "    ${CMAKE_MATCH_2}\n")
      endif()
    else()
      message(FATAL_ERROR "${markdown}:${number}: not a release heading, a \"- \" item or its indented line")
    endif()
  endforeach()
  if(NOT newest STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "${markdown}: the newest release is \"${newest}\", the project is ${PROJECT_VERSION}")
  endif()
  string(REGEX REPLACE "\n$" "" trailer "${trailer}")
  string(APPEND result "${trailer}")
  string(REPLACE "${semicolon}" ";" result "${result}")
  string(REPLACE "${open}" "[" result "${result}")
  string(REPLACE "${close}" "]" result "${result}")
  # Rewritten only when it changes, so gzip runs only then.
  set(old "")
  if(EXISTS ${out})
    file(READ ${out} old)
  endif()
  if(NOT old STREQUAL result)
    file(WRITE ${out} "${result}")
  endif()
endfunction()

if(NOT WIN32)
  # gzip -9n stores neither a name nor a time stamp, so the same input gives
  # the same bytes in every build folder and the .deb is reproducible.
  find_program(HTTP2RETLW_GZIP gzip REQUIRED)
  mark_as_advanced(HTTP2RETLW_GZIP)
  set(docs_dir ${PROJECT_BINARY_DIR}/package-docs)
  file(MAKE_DIRECTORY ${docs_dir})

  # The copyright file in Debian's machine-readable form, built from
  # LICENSE so the two never differ: its copyright line, then the licence
  # text indented by one space, with " ." for an empty line.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
  if(NOT licence MATCHES "Copyright \\(c\\) ([^\n]+)\n\n(.*[^\n])\n*$")
    message(FATAL_ERROR "LICENSE: no copyright line followed by the licence")
  endif()
  set(http2retlw_copyright ${CMAKE_MATCH_1})
  string(REGEX REPLACE "\n\n" "\n.\n" http2retlw_licence "${CMAKE_MATCH_2}")
  string(REPLACE "\n" "\n " http2retlw_licence " ${http2retlw_licence}")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian-copyright.in
                 ${docs_dir}/copyright @ONLY)

  http2retlw_debian_changelog(${PROJECT_SOURCE_DIR}/CHANGELOG.md
                              ${docs_dir}/changelog)

  add_custom_command(
    OUTPUT ${docs_dir}/changelog.gz
    COMMAND ${HTTP2RETLW_GZIP} -9n -c ${docs_dir}/changelog > ${docs_dir}/changelog.gz
    DEPENDS ${docs_dir}/changelog
    VERBATIM)
  set(man_pages "")
  foreach(page IN ITEMS http2retlw.1 http2retlw-site.1)
    add_custom_command(
      OUTPUT ${docs_dir}/${page}.gz
      COMMAND ${HTTP2RETLW_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/man/${page}
              > ${docs_dir}/${page}.gz
      DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}
      VERBATIM)
    list(APPEND man_pages ${docs_dir}/${page}.gz)
  endforeach()
  add_custom_target(http2retlw_package_docs ALL
    DEPENDS ${docs_dir}/changelog.gz ${man_pages})

  install(FILES ${man_pages}
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Runtime)
  install(FILES ${docs_dir}/copyright ${docs_dir}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT Docs)
endif()

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

# Archives are named after the system and processor they run on:
# http2retlw-VERSION-linux-x86_64.tar.gz, -linux-aarch64; CPack's own name
# for Windows, win64, stays.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  string(TOLOWER "linux-${CMAKE_SYSTEM_PROCESSOR}" CPACK_SYSTEM_NAME)
endif()

if(WIN32)
  set(CPACK_GENERATOR ZIP)
elseif(APPLE)
  set(CPACK_GENERATOR TGZ ZIP)
else()
  set(CPACK_GENERATOR DEB TGZ ZIP)
endif()

# Which components each generator packs; cpack reads this file once per
# generator with CPACK_GENERATOR set to the one at work. A source package
# installs no project and is left alone.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake)
file(CONFIGURE OUTPUT ${CPACK_PROJECT_CONFIG_FILE} @ONLY CONTENT [[
if(NOT CPACK_INSTALL_CMAKE_PROJECTS)
  return()
elseif(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_INSTALL_CMAKE_PROJECTS
      "@PROJECT_BINARY_DIR@;http2retlw;Program;/"
      "@PROJECT_BINARY_DIR@;http2retlw;Runtime;/"
      "@PROJECT_BINARY_DIR@;http2retlw;Docs;/")
else()
  set(CPACK_INSTALL_CMAKE_PROJECTS
      "@PROJECT_BINARY_DIR@;http2retlw;@archive_program@;/"
      "@PROJECT_BINARY_DIR@;http2retlw;Runtime;/"
      "@PROJECT_BINARY_DIR@;http2retlw;Archive;/")
endif()
]])

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
