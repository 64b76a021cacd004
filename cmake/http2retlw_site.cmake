# http2retlw_add_site(<target> SITE_DIR <dir> TABLE_DIR <dir> [HEADERS <file>])
#
# Adds <target>, built by default, that runs http2retlw-site
# (http2retlw::http2retlw-site) on SITE_DIR: every file directly in it
# becomes a stored response and its retlw table, TABLE_DIR/NAME.inc
# (index.html gives index.html.inc), and TABLE_DIR/pages.inc lists them,
# the page set http_server_18.asm assembles with `-I TABLE_DIR`. A relative
# SITE_DIR or HEADERS is read from the current source folder, a relative
# TABLE_DIR from the current binary folder. The responses, the rules a site
# must meet and the messages are the program's; see http2retlw-site(1).
#
# One command makes the whole site. Its depfile names the folder, each file
# in it and HEADERS, so an added, removed or changed file is seen by the
# next build without configuring again. A table whose bytes did not change
# is left alone; pages.inc is made again whenever a table is.

cmake_policy(VERSION 3.20...3.25)

function(http2retlw_add_site target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "SITE_DIR;TABLE_DIR;HEADERS" "")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR
      "http2retlw_add_site: unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_SITE_DIR OR NOT arg_TABLE_DIR)
    message(FATAL_ERROR
      "http2retlw_add_site(${target}): SITE_DIR and TABLE_DIR are required")
  endif()
  cmake_path(ABSOLUTE_PATH arg_SITE_DIR
    BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE)
  cmake_path(ABSOLUTE_PATH arg_TABLE_DIR
    BASE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR} NORMALIZE)
  string(REGEX REPLACE "/$" "" site "${arg_SITE_DIR}")
  string(REGEX REPLACE "/$" "" tables_dir "${arg_TABLE_DIR}")
  if(NOT IS_DIRECTORY "${site}")
    message(FATAL_ERROR "http2retlw_add_site(${target}): no folder ${site}")
  endif()
  set(headers "")
  set(headers_option "")
  if(DEFINED arg_HEADERS)
    cmake_path(ABSOLUTE_PATH arg_HEADERS
      BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE OUTPUT_VARIABLE headers)
    set(headers_option --headers ${headers})
  endif()
  set(pages_inc ${tables_dir}/pages.inc)
  set(depfile ${CMAKE_CURRENT_BINARY_DIR}/${target}.site.d)
  # The folder itself is named too: before the first run there is no
  # depfile, and a folder changes when a file comes, goes or is renamed.
  add_custom_command(
    OUTPUT ${pages_inc}
    COMMAND http2retlw::http2retlw-site ${headers_option} --depfile ${depfile}
            ${site} ${tables_dir}
    DEPENDS http2retlw::http2retlw-site ${site} ${headers}
    DEPFILE ${depfile}
    COMMENT "Converting the site ${site}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${pages_inc})
endfunction()
