# What firmware builds use to turn their pages into tables:
#   - http2retlw_add_tables and the program as http2retlw::http2retlw, for a
#     project that adds this source tree (add_subdirectory, FetchContent);
#   - the same installed as a CMake package, lib/cmake/http2retlw/, for
#     find_package(http2retlw);
#   - the make fragment share/http2retlw/http2retlw.mk.
# Installed as part of the Runtime component, by the top-level project only;
# the Windows ZIP carries none of it.
add_executable(http2retlw::http2retlw ALIAS http2retlw)
include(${CMAKE_CURRENT_LIST_DIR}/http2retlw_tables.cmake)

if(NOT WIN32 AND PROJECT_IS_TOP_LEVEL)
  include(CMakePackageConfigHelpers)
  # lib/cmake, not CMAKE_INSTALL_LIBDIR: nothing here depends on the
  # architecture, and find_package searches PREFIX/lib/cmake on every host.
  set(package_dir lib/cmake/http2retlw)
  set(HTTP2RETLW_PROGRAM ${CMAKE_INSTALL_BINDIR}/http2retlw)
  configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/http2retlw-config.cmake.in
    ${PROJECT_BINARY_DIR}/http2retlw-config.cmake
    INSTALL_DESTINATION ${package_dir} PATH_VARS HTTP2RETLW_PROGRAM)
  # 1.x keeps what 1.1 gives; the program runs on the build host whatever
  # the consuming project targets.
  write_basic_package_version_file(
    ${PROJECT_BINARY_DIR}/http2retlw-config-version.cmake
    COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
  install(FILES
    ${PROJECT_BINARY_DIR}/http2retlw-config.cmake
    ${PROJECT_BINARY_DIR}/http2retlw-config-version.cmake
    ${CMAKE_CURRENT_LIST_DIR}/http2retlw_tables.cmake
    ${CMAKE_CURRENT_LIST_DIR}/http2retlw_convert_page.cmake
    DESTINATION ${package_dir} COMPONENT Runtime)

  # The fragment finds the program beside it by this relative path.
  file(RELATIVE_PATH HTTP2RETLW_MK_TO_BINDIR
    ${CMAKE_INSTALL_FULL_DATADIR}/http2retlw ${CMAKE_INSTALL_FULL_BINDIR})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/http2retlw.mk.in
    ${PROJECT_BINARY_DIR}/http2retlw.mk @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/http2retlw.mk
    DESTINATION ${CMAKE_INSTALL_DATADIR}/http2retlw COMPONENT Runtime)
endif()
