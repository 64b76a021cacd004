# Converts one page for the custom command in CMakeLists.txt, run inside
# the pages folder:
#
#   cmake -DHTTP2RETLW=http2retlw -DPAGE=index.htm -DTABLE=/abs/index.inc -P convert_page.cmake
#
# The tool may have written part of a table before it fails, so its output
# goes to TABLE.tmp, renamed to TABLE on success and removed on failure.
# A custom command has no step that runs on failure, hence this script.
execute_process(
  COMMAND ${HTTP2RETLW} ${PAGE}
  OUTPUT_FILE ${TABLE}.tmp
  RESULT_VARIABLE status)
if(NOT status STREQUAL "0")
  file(REMOVE ${TABLE}.tmp)
  message(FATAL_ERROR "${HTTP2RETLW} ${PAGE} failed (${status}); no table written")
endif()
file(RENAME ${TABLE}.tmp ${TABLE})
