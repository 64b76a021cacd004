# Converts one page for http2retlw_add_tables, run in the page's folder:
#
#   cmake -DHTTP2RETLW=/abs/http2retlw -DPAGE=index.htm -DTABLE=/abs/index.inc
#         -P http2retlw_convert_page.cmake
#
# The converter may have written part of a table before it fails, so its
# output goes to TABLE.tmp, renamed to TABLE on success and removed on
# failure. A custom command has no step that runs on failure, hence this
# script. The converter's message reaches the build log unchanged.
cmake_path(GET TABLE PARENT_PATH table_dir)
file(MAKE_DIRECTORY ${table_dir})
execute_process(
  COMMAND ${HTTP2RETLW} ${PAGE}
  OUTPUT_FILE ${TABLE}.tmp
  RESULT_VARIABLE status)
if(NOT status STREQUAL "0")
  file(REMOVE ${TABLE}.tmp)
  message(FATAL_ERROR "${HTTP2RETLW} ${PAGE} failed (${status}); no table written")
endif()
file(RENAME ${TABLE}.tmp ${TABLE})
