# http2retlw_add_site(<target> SITE_DIR <dir> TABLE_DIR <dir> [HEADERS <file>])
#
# Adds <target>, built by default, that turns every file directly in
# SITE_DIR into a stored response and its retlw table, TABLE_DIR/NAME.inc
# (index.html gives index.html.inc), and writes TABLE_DIR/pages.inc, the
# page set http_server_18.asm assembles with `-I TABLE_DIR`. A relative
# SITE_DIR or HEADERS is read from the current source folder, a relative
# TABLE_DIR from the current binary folder.
#
# Each response is `HTTP/1.0 200 OK` (`404 Not Found` for a name starting
# with `404.`), a Content-Type from the extension, the blank Content-Length
# entry, the lines of HEADERS, an empty line and the file's bytes. NAME.gz
# is served as NAME, with `Content-Encoding: gzip`; its table is
# NAME.gz.inc, a file of its own, so it is never taken for the table NAME
# made before it. The tag is the name's first character. A site that would
# misbehave on the device (see http2retlw_site_check) fails the build with
# one message naming the files and leaves no pages.inc.
#
# The folder is a configure dependency, so an added or removed file is seen
# by the next build; a changed file makes its table and pages.inc
# again, a changed HEADERS or converter every table.

cmake_policy(VERSION 3.20...3.25)

# What the server cannot be given as a tag: gpasm 1.4 rejects these four as
# a quoted character; a browser sends the others percent-encoded, or never,
# in a path (the server reads the byte after `GET /`).
set(_http2retlw_gpasm_rejects 0a 0d 22 5c)
set(_http2retlw_unroutable 20 22 23 25 3c 3e 3f 60 7b 7d 7f)

# http2retlw_site_type(NAME OUT_TYPE OUT_ENCODING): what NAME is served as.
function(http2retlw_site_type name out_type out_encoding)
  set(encoding "")
  if(name MATCHES "^(.+)\\.gz$")
    set(name ${CMAKE_MATCH_1})
    set(encoding gzip)
  endif()
  set(type application/octet-stream)
  if(name MATCHES "\\.([^.]+)$")
    string(TOLOWER "${CMAKE_MATCH_1}" extension)
    foreach(pair html=text/html htm=text/html css=text/css
        js=text/javascript json=application/json txt=text/plain
        svg=image/svg+xml png=image/png gif=image/gif jpg=image/jpeg
        jpeg=image/jpeg ico=image/x-icon xml=application/xml
        pdf=application/pdf woff2=font/woff2 wasm=application/wasm)
      if(pair MATCHES "^${extension}=(.*)$")
        set(type ${CMAKE_MATCH_1})
      endif()
    endforeach()
  endif()
  set(${out_type} ${type} PARENT_SCOPE)
  set(${out_encoding} "${encoding}" PARENT_SCOPE)
endfunction()

# http2retlw_site_headers(FILE OUT_LINES OUT_FAULTS): the header lines of
# FILE, each ending in CR LF, and what is wrong with it. Read as a string,
# never as a list, so a `;` or `[` in a value stays as it is.
function(http2retlw_site_headers file out_lines out_faults)
  set(lines "")
  set(faults "")
  file(READ "${file}" text)
  string(REPLACE "\r" "" text "${text}")
  set(number 0)
  while(NOT text STREQUAL "")
    string(FIND "${text}" "\n" end)
    if(end EQUAL -1)
      set(line "${text}")
      set(text "")
    else()
      string(SUBSTRING "${text}" 0 ${end} line)
      math(EXPR end "${end} + 1")
      string(SUBSTRING "${text}" ${end} -1 text)
    endif()
    math(EXPR number "${number} + 1")
    string(STRIP "${line}" stripped)
    if(stripped STREQUAL "" OR stripped MATCHES "^#")
      continue()
    endif()
    string(FIND "${line}" ":" colon)
    if(colon LESS 1)
      string(APPEND faults "  ${file}:${number}: not a header line (NAME: VALUE)\n")
      continue()
    endif()
    string(SUBSTRING "${line}" 0 ${colon} field)
    string(STRIP "${field}" field)
    string(TOLOWER "${field}" field)
    if(field MATCHES "^content-(type|length|encoding)$")
      string(APPEND faults "  ${file}:${number}: sets ${field}, which the site step writes itself\n")
      continue()
    endif()
    string(APPEND lines "${line}\r\n")
  endwhile()
  set(${out_lines} "${lines}" PARENT_SCOPE)
  set(${out_faults} "${faults}" PARENT_SCOPE)
endfunction()

# The tag as a message shows it: the character, or its code.
function(_http2retlw_site_shown hex out)
  if(hex MATCHES "^(2[1-9a-f]|[3-6][0-9a-f]|7[0-9a-e])$")
    math(EXPR code "0x${hex}")
    string(ASCII ${code} shown)
    set(shown "'${shown}'")
  else()
    set(shown "0x${hex}")
  endif()
  set(${out} "${shown}" PARENT_SCOPE)
endfunction()

# http2retlw_site_check(SITE_DIR HEADERS OUT_NAMES OUT_FAULTS OUT_NOTES
#                       OUT_REFUSED): the names of the files served, sorted;
# what refuses the site, one line per fault, empty when none; the notes;
# the served names whose tables a refusal removes.
function(http2retlw_site_check site headers out_names out_faults out_notes out_refused)
  # The glob's result as one string: a name may hold `;` or `[`, so it is
  # cut at each ";SITE/", which no name can hold, and never read as a list.
  file(GLOB entries LIST_DIRECTORIES true "${site}/*")
  set(names "")
  set(faults "")
  set(notes "")
  string(LENGTH "${site}/" prefix_length)
  if(NOT entries STREQUAL "")
    string(SUBSTRING "${entries}" ${prefix_length} -1 entries)
    string(APPEND entries ";${site}/")
  endif()
  while(NOT entries STREQUAL "")
    string(FIND "${entries}" ";${site}/" end)
    string(SUBSTRING "${entries}" 0 ${end} name)
    math(EXPR end "${end} + ${prefix_length} + 1")
    string(SUBSTRING "${entries}" ${end} -1 entries)
    if(name MATCHES "^\\." OR name MATCHES "~$")
      continue()
    endif()
    string(SUBSTRING "${name}" 0 1 first)
    string(HEX "${first}" tag)
    _http2retlw_site_shown(${tag} shown)
    if(IS_DIRECTORY "${site}/${name}")
      string(APPEND faults "  ${name}: a subfolder; a page is found by its tag alone, which holds no path, so every file stands directly in ${site}\n")
    elseif(tag IN_LIST _http2retlw_gpasm_rejects)
      string(APPEND faults "  ${name}: its tag ${shown} does not assemble (gpasm rejects 0x0A, 0x0D, '\"' and '\\' as a quoted character)\n")
    elseif(tag IN_LIST _http2retlw_unroutable OR tag STRLESS "20" OR tag STRGREATER "7e")
      string(APPEND faults "  ${name}: its tag ${shown} is never the first character of a path a browser sends\n")
    elseif(name MATCHES "[^A-Za-z0-9._+~-]")
      string(APPEND faults "  ${name}: make and CMake cannot carry this name; use letters, digits and . _ - + ~\n")
    elseif(name STREQUAL "pages")
      string(APPEND faults "  pages: its table would be pages.inc\n")
    else()
      list(APPEND names ${name})
    endif()
  endwhile()
  list(SORT names)

  # NAME.gz stands for NAME; one tag, one file.
  set(served "")
  set(refused "")
  foreach(name IN LISTS names)
    if("${name}.gz" IN_LIST names)
      string(APPEND notes "  ${name} left out: ${name}.gz is served in its place\n")
      continue()
    endif()
    list(APPEND served ${name})
  endforeach()
  set(seen_tags "")
  foreach(name IN LISTS served)
    string(SUBSTRING "${name}" 0 1 tag)
    if(tag IN_LIST seen_tags)
      continue()
    endif()
    list(APPEND seen_tags ${tag})
    set(sharing "")
    foreach(other IN LISTS served)
      string(SUBSTRING "${other}" 0 1 other_tag)
      if(other_tag STREQUAL tag)
        list(APPEND sharing ${other})
      endif()
    endforeach()
    list(LENGTH sharing count)
    if(count GREATER 1)
      list(JOIN sharing ", " shown)
      string(APPEND faults "  ${shown}: one tag, '${tag}', for ${count} files; the server would serve one of them for all\n")
      list(APPEND refused ${sharing})
    endif()
  endforeach()
  if(NOT "i" IN_LIST seen_tags)
    string(APPEND faults "  no file's name starts with i: the server answers GET / with the page tagged i\n")
  endif()
  if(NOT "4" IN_LIST seen_tags)
    string(APPEND notes "  no file's name starts with 4: a path no page is tagged with gets the server's built-in 404\n")
  endif()
  if(NOT headers STREQUAL "")
    http2retlw_site_headers("${headers}" lines header_faults)
    string(APPEND faults "${header_faults}")
  endif()
  set(${out_names} "${served}" PARENT_SCOPE)
  set(${out_faults} "${faults}" PARENT_SCOPE)
  set(${out_notes} "${notes}" PARENT_SCOPE)
  set(${out_refused} "${refused}" PARENT_SCOPE)
endfunction()

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
  set(step ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/http2retlw_site_step.cmake)
  set(rules ${CMAKE_CURRENT_FUNCTION_LIST_FILE} ${step})
  cmake_path(ABSOLUTE_PATH arg_SITE_DIR
    BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE)
  cmake_path(ABSOLUTE_PATH arg_TABLE_DIR
    BASE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR} NORMALIZE)
  string(REGEX REPLACE "/$" "" site "${arg_SITE_DIR}")
  set(tables_dir ${arg_TABLE_DIR})
  set(pages_inc ${tables_dir}/pages.inc)
  set(headers "")
  if(DEFINED arg_HEADERS)
    cmake_path(ABSOLUTE_PATH arg_HEADERS
      BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE OUTPUT_VARIABLE headers)
    # Checked here, so a changed HEADERS is checked again.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${headers})
  endif()
  if(NOT IS_DIRECTORY "${site}")
    message(FATAL_ERROR "http2retlw_add_site(${target}): no folder ${site}")
  endif()
  # The folder changes when a file comes, goes or is renamed, and the next
  # build then configures again. Not a CONFIGURE_DEPENDS glob: CMake
  # writes its result into a script of its own unquoted, which a file
  # named with a `"` breaks before this function can refuse it.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${site})
  http2retlw_site_check("${site}" "${headers}" names faults notes refused)

  set(state ${CMAKE_CURRENT_BINARY_DIR}/${target}.site)
  if(NOT faults STREQUAL "")
    # Refused: no table is made. The build fails with the message, written
    # to a file since names in it may hold anything, and removes what an
    # earlier build made of the site, so nothing can assemble the old site.
    set(remove ${pages_inc})
    foreach(name IN LISTS refused)
      list(APPEND remove ${tables_dir}/${name}.inc)
    endforeach()
    file(WRITE ${state}.refused
      "http2retlw_add_site(${target}): ${site} cannot be served:\n${faults}")
    add_custom_target(${target} ALL
      COMMAND ${CMAKE_COMMAND} -DMODE=refuse -DMESSAGE=${state}.refused
              "-DREMOVE=${remove}" -P ${step}
      VERBATIM)
    return()
  endif()
  file(REMOVE ${state}.refused)

  set(tables "")
  foreach(name IN LISTS names)
    set(table ${tables_dir}/${name}.inc)
    add_custom_command(
      OUTPUT ${table}
      COMMAND ${CMAKE_COMMAND} -DMODE=table
              -DHTTP2RETLW=$<TARGET_FILE:http2retlw::http2retlw>
              -DFILE=${site}/${name} -DTABLE=${table} -DHEADERS=${headers}
              -DPAGES_INC=${pages_inc} -P ${step}
      DEPENDS ${site}/${name} http2retlw::http2retlw ${rules} ${headers}
      COMMENT "Converting ${name}"
      VERBATIM)
    list(APPEND tables ${table})
  endforeach()
  # The served names and the notes, rewritten only when they change: an
  # added or removed file makes pages.inc again, nothing else.
  file(CONFIGURE OUTPUT ${state}.names CONTENT "${names}" @ONLY)
  file(CONFIGURE OUTPUT ${state}.notes CONTENT "${notes}" @ONLY)
  add_custom_command(
    OUTPUT ${pages_inc}
    COMMAND ${CMAKE_COMMAND} -DMODE=pages -DNAMES=${state}.names
            -DNOTES=${state}.notes -DTABLE_DIR=${tables_dir} -P ${step}
    DEPENDS ${tables} ${state}.names ${state}.notes ${rules}
    COMMENT "Writing pages.inc"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${tables} ${pages_inc})
endfunction()
