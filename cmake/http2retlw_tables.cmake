# http2retlw_add_tables(<target> PAGES <page>... TABLE_DIR <dir>)
#
# Adds <target>, built by default, that turns each stored response in PAGES
# into the retlw table <dir>/<stem>.inc, <stem> being the page's name
# without its last extension (index.htm gives index.inc). Relative pages
# are read from the current source folder, a relative TABLE_DIR from the
# current binary folder. A table is made again when its page or the
# converter, http2retlw::http2retlw, changes. A page that fails to convert
# fails the build with the converter's message and leaves neither a table
# nor a temporary file.
#
# Included by the installed package configuration and, when the project's
# source tree is part of a larger build, by the project itself.

# Functions keep the policies in force where they are defined, whatever
# cmake_minimum_required the calling project states.
cmake_policy(VERSION 3.20...3.25)

function(http2retlw_add_tables target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TABLE_DIR" "PAGES")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR
      "http2retlw_add_tables: unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_PAGES OR NOT arg_TABLE_DIR)
    message(FATAL_ERROR
      "http2retlw_add_tables(${target}): PAGES and TABLE_DIR are required")
  endif()
  set(convert ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/http2retlw_convert_page.cmake)
  cmake_path(ABSOLUTE_PATH arg_TABLE_DIR
    BASE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR} NORMALIZE)

  set(tables)
  foreach(page IN LISTS arg_PAGES)
    cmake_path(ABSOLUTE_PATH page
      BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE)
    cmake_path(GET page FILENAME page_name)
    cmake_path(GET page PARENT_PATH page_dir)
    cmake_path(GET page STEM LAST_ONLY page_stem)
    set(table ${arg_TABLE_DIR}/${page_stem}.inc)
    if(table IN_LIST tables)
      message(FATAL_ERROR
        "http2retlw_add_tables(${target}): two pages would make ${table}")
    endif()
    # The tag is the first character of the converter's argument, so it
    # runs in the page's folder with the bare name: index.htm is tagged
    # 'i', not the first letter of the folder. Naming the program's target
    # in DEPENDS makes its file a dependency (for an imported one too), so
    # a new converter makes every table again, and the tables wait for
    # whatever builds it (the host build in a cross build).
    add_custom_command(
      OUTPUT ${table}
      COMMAND ${CMAKE_COMMAND}
              -DHTTP2RETLW=$<TARGET_FILE:http2retlw::http2retlw>
              -DPAGE=${page_name} -DTABLE=${table} -P ${convert}
      DEPENDS ${page} http2retlw::http2retlw ${convert}
      WORKING_DIRECTORY ${page_dir}
      COMMENT "Converting ${page_name}"
      VERBATIM)
    list(APPEND tables ${table})
  endforeach()
  add_custom_target(${target} ALL DEPENDS ${tables})
endfunction()
