# The build steps of http2retlw_add_site, one per run:
#
#   cmake -DMODE=table -DHTTP2RETLW=/abs/http2retlw -DFILE=/abs/site/NAME
#         -DTABLE=/abs/tables/NAME.inc [-DHEADERS=/abs/file]
#         -DPAGES_INC=/abs/tables/pages.inc -P http2retlw_site_step.cmake
#       writes the stored response of NAME into the folder TABLE.d, as
#       NAME so the converter, run there with the bare name, tags it with
#       NAME's first character; converts it into TABLE.tmp, renamed to
#       TABLE on success. On failure nothing of NAME is left, and
#       pages.inc goes too, so no firmware assembles a site without it.
#   cmake -DMODE=pages -DNAMES=FILE -DNOTES=FILE -DTABLE_DIR=/abs/tables -P ...
#       writes TABLE_DIR/pages.inc listing the tables of NAMES, prints the
#       notes and a summary of the program memory the tables take.
#   cmake -DMODE=refuse -DMESSAGE=FILE -DREMOVE=FILE;... -P ...
#       removes REMOVE and fails with the message in FILE.
#
# No shell: the header is written by file(WRITE), which writes its bytes as
# they are, and joined to the file's by `cmake -E cat`, byte for byte.
include(${CMAKE_CURRENT_LIST_DIR}/http2retlw_site.cmake)

if(MODE STREQUAL "table")
  cmake_path(GET FILE FILENAME name)
  set(work ${TABLE}.d)
  file(REMOVE_RECURSE ${work})
  file(MAKE_DIRECTORY ${work})
  http2retlw_site_type(${name} type encoding)
  set(head "HTTP/1.0 200 OK\r\n")
  if(name MATCHES "^404\\.")
    set(head "HTTP/1.0 404 Not Found\r\n")
  endif()
  string(APPEND head "Content-Type: ${type}\r\n")
  if(encoding)
    string(APPEND head "Content-Encoding: ${encoding}\r\n")
  endif()
  string(APPEND head "Content-Length:\r\n")
  if(HEADERS)
    http2retlw_site_headers(${HEADERS} lines faults)
    string(APPEND head "${lines}")
  endif()
  file(WRITE ${work}/head "${head}\r\n")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E cat ${work}/head ${FILE}
    OUTPUT_FILE ${work}/${name}
    RESULT_VARIABLE status)
  if(status STREQUAL "0")
    execute_process(
      COMMAND ${HTTP2RETLW} ${name}
      WORKING_DIRECTORY ${work}
      OUTPUT_FILE ${TABLE}.tmp
      RESULT_VARIABLE status)
  endif()
  file(REMOVE_RECURSE ${work})
  if(NOT status STREQUAL "0")
    file(REMOVE ${TABLE}.tmp ${TABLE} ${PAGES_INC})
    message(FATAL_ERROR "${FILE}: its stored response did not convert (${status}); no table written, pages.inc removed")
  endif()
  file(RENAME ${TABLE}.tmp ${TABLE})

elseif(MODE STREQUAL "pages")
  file(READ ${NAMES} names)
  file(READ ${NOTES} notes)
  set(directory "")
  set(tables "")
  set(count 0)
  set(bytes 0)
  foreach(name IN LISTS names)
    math(EXPR count "${count} + 1")
    string(APPEND directory "\tpage_table\tpage_${count}\n")
    string(APPEND tables "page_${count}\t; ${name}\n\t#include \"${name}.inc\"\n")
    # Entries 1 and 2 of the table: the completed response's length L.
    file(READ ${TABLE_DIR}/${name}.inc start LIMIT 64)
    if(NOT start MATCHES "retlw\t0x([0-9A-F][0-9A-F])\r?\n\tretlw\t0x([0-9A-F][0-9A-F])")
      file(REMOVE ${TABLE_DIR}/pages.inc)
      message(FATAL_ERROR "${TABLE_DIR}/${name}.inc is not a table")
    endif()
    math(EXPR bytes "${bytes} + 2 * (0x${CMAKE_MATCH_1}${CMAKE_MATCH_2} + 5)")
  endforeach()
  file(WRITE ${TABLE_DIR}/pages.inc.tmp
    "; The page set of http_server_18.asm, written by the http2retlw site step:\n"
    "; the directory, then each table under its label. Assemble with\n"
    "; -I set to this folder.\n\n"
    "${directory}\tend_of_pages\n\n${tables}")
  file(RENAME ${TABLE_DIR}/pages.inc.tmp ${TABLE_DIR}/pages.inc)
  if(NOT notes STREQUAL "")
    message("Note:\n${notes}")
  endif()
  math(EXPR tenths "(${bytes} * 1000 + 32768) / 65536")
  math(EXPR whole "${tenths} / 10")
  math(EXPR tenth "${tenths} % 10")
  message("pages.inc: ${count} pages, ${bytes} bytes of program memory, ${whole}.${tenth}% of the PIC18F4620's 64 KiB")

elseif(MODE STREQUAL "refuse")
  file(REMOVE ${REMOVE})
  file(READ ${MESSAGE} text)
  message(FATAL_ERROR "${text}")

else()
  message(FATAL_ERROR "http2retlw_site_step.cmake: MODE is table, pages or refuse")
endif()
