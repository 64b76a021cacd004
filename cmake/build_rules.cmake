# What firmware builds use to turn their pages into tables:
#   - http2retlw_add_tables, http2retlw_add_site and the programs as
#     http2retlw::http2retlw and http2retlw::http2retlw-site, for a
#     project that adds this source tree (add_subdirectory, FetchContent);
#   - the same installed as a CMake package, lib/cmake/http2retlw/, for
#     find_package(http2retlw);
#   - the make fragment share/http2retlw/http2retlw.mk.
# Installed as part of the Runtime component, by the top-level project only;
# the Windows ZIP carries none of it.
if(CMAKE_CROSSCOMPILING AND NOT PROJECT_IS_TOP_LEVEL)
  # The programs the cross build would make run on its target, not on the
  # build host that makes the tables: they are built for the host instead,
  # from this same tree in a binary folder of its own, as a top-level
  # project with the host's default compiler. The cross build's compiler
  # reaches it neither through the arguments (only the generator is passed,
  # not its target platform) nor through the environment, where CC, CXX,
  # their flags or CMAKE_TOOLCHAIN_FILE name the target's when a cross build
  # is set up that way. Built on every build, so a changed source rebuilds
  # it; a program that did not change leaves the tables alone.
  include(ExternalProject)
  set(host_dir ${PROJECT_BINARY_DIR}/host)
  set(host_bin ${host_dir}/build)
  get_property(multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
  if(multi_config)
    string(APPEND host_bin /Release)
  endif()
  set(host_suffix "")
  if(CMAKE_HOST_WIN32)
    set(host_suffix .exe)
  endif()
  set(host_program ${host_bin}/http2retlw${host_suffix})
  set(host_site_program ${host_bin}/http2retlw-site${host_suffix})
  if(CMAKE_GENERATOR MATCHES "Make")
    # A recursive make takes its jobs from the parent's -j.
    set(host_build $(MAKE) http2retlw http2retlw_site)
  else()
    set(host_build ${CMAKE_COMMAND} --build <BINARY_DIR> --config Release
      --target http2retlw http2retlw_site)
  endif()
  ExternalProject_Add(http2retlw_host
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    PREFIX ${host_dir}
    BINARY_DIR ${host_dir}/build
    CONFIGURE_COMMAND ${CMAKE_COMMAND} -E env
      --unset=CC --unset=CXX --unset=CFLAGS --unset=CXXFLAGS --unset=LDFLAGS
      --unset=CMAKE_TOOLCHAIN_FILE
      ${CMAKE_COMMAND} -G ${CMAKE_GENERATOR} -S <SOURCE_DIR> -B <BINARY_DIR>
      -DCMAKE_MAKE_PROGRAM=${CMAKE_MAKE_PROGRAM}
      -DCMAKE_BUILD_TYPE=Release -DHTTP2RETLW_BUILD_TESTS=OFF
    BUILD_COMMAND ${host_build}
    BUILD_ALWAYS TRUE
    BUILD_BYPRODUCTS ${host_program} ${host_site_program}
    INSTALL_COMMAND ""
    EXCLUDE_FROM_ALL TRUE)
  # GLOBAL: the parent's folders name it. The tables wait for the host
  # build through the target's dependency; the file in IMPORTED_LOCATION
  # makes them again when the program changes.
  add_executable(http2retlw::http2retlw IMPORTED GLOBAL)
  set_target_properties(http2retlw::http2retlw PROPERTIES
    IMPORTED_LOCATION ${host_program})
  add_dependencies(http2retlw::http2retlw http2retlw_host)
  add_executable(http2retlw::http2retlw-site IMPORTED GLOBAL)
  set_target_properties(http2retlw::http2retlw-site PROPERTIES
    IMPORTED_LOCATION ${host_site_program})
  add_dependencies(http2retlw::http2retlw-site http2retlw_host)
else()
  add_executable(http2retlw::http2retlw ALIAS http2retlw)
  add_executable(http2retlw::http2retlw-site ALIAS http2retlw_site)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/http2retlw_tables.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/http2retlw_site.cmake)

if(NOT WIN32 AND PROJECT_IS_TOP_LEVEL)
  include(CMakePackageConfigHelpers)
  # lib/cmake, not CMAKE_INSTALL_LIBDIR: nothing here depends on the
  # architecture, and find_package searches PREFIX/lib/cmake on every host.
  set(package_dir lib/cmake/http2retlw)
  set(HTTP2RETLW_PROGRAM ${CMAKE_INSTALL_BINDIR}/http2retlw)
  set(HTTP2RETLW_SITE_PROGRAM ${CMAKE_INSTALL_BINDIR}/http2retlw-site)
  configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/http2retlw-config.cmake.in
    ${PROJECT_BINARY_DIR}/http2retlw-config.cmake
    INSTALL_DESTINATION ${package_dir}
    PATH_VARS HTTP2RETLW_PROGRAM HTTP2RETLW_SITE_PROGRAM)
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
    ${CMAKE_CURRENT_LIST_DIR}/http2retlw_site.cmake
    DESTINATION ${package_dir} COMPONENT Runtime)

  # The fragment finds the program beside it by this relative path.
  file(RELATIVE_PATH HTTP2RETLW_MK_TO_BINDIR
    ${CMAKE_INSTALL_FULL_DATADIR}/http2retlw ${CMAKE_INSTALL_FULL_BINDIR})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/http2retlw.mk.in
    ${PROJECT_BINARY_DIR}/http2retlw.mk @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/http2retlw.mk
    DESTINATION ${CMAKE_INSTALL_DATADIR}/http2retlw COMPONENT Runtime)
endif()
