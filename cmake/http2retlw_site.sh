# http2retlw_site.sh: the site step of http2retlw.mk, run by it with sh.
# It does what http2retlw_site.cmake and http2retlw_site_step.cmake do for
# CMake, with the same names, responses, messages and pages.inc.
#
#   sh http2retlw_site.sh scan SITE HEADERS LISTING
#       prints the names served, or /refused (no name holds a slash), and
#       writes them to LISTING, one a line, when they changed
#   sh http2retlw_site.sh refuse SITE HEADERS TABLES
#       prints why the site is refused, removes TABLES/pages.inc and the
#       tables of the files refused, fails
#   sh http2retlw_site.sh table FILE TABLE HEADERS CONVERTER PAGES_INC
#       writes FILE's stored response as TABLE.d/NAME and converts it there
#       into TABLE; on failure nothing of it is left, nor PAGES_INC
#   sh http2retlw_site.sh pages SITE TABLES NAME...
#       writes TABLES/pages.inc, prints the notes and a summary
#
# HEADERS may be empty: no header file.
set -u
LC_ALL=C
export LC_ALL
nl='
'

# check SITE HEADERS: sets served (one name a line, sorted), faults, notes
# and refused (the names whose tables a refusal removes).
check() {
  site=$1 headers=$2
  faults='' notes='' names='' served='' refused='' tags=''
  for path in "$site"/*; do
    [ -e "$path" ] || [ -L "$path" ] || continue
    name=${path##*/}
    case $name in *~) continue ;; esac
    tag=$(printf %s "$name" | od -An -tx1 -N1 | tr -d ' \n' | tr a-f A-F)
    first=${name%"${name#?}"}
    case $tag in
      2[1-9A-F] | [3-6]? | 7[0-9A-E]) shown="'$first'" ;;
      *) shown=0x$tag ;;
    esac
    if [ -d "$path" ]; then
      faults="$faults  $name: a subfolder; a page is found by its tag alone, which holds no path, so every file stands directly in $site$nl"
      continue
    fi
    case $tag in
      0A | 0D | 22 | 5C)
        faults="$faults  $name: its tag $shown does not assemble (gpasm rejects 0x0A, 0x0D, '\"' and '\\' as a quoted character)$nl"
        continue ;;
      [01]? | 20 | 23 | 25 | 3C | 3E | 3F | 60 | 7B | 7D | 7F | [89A-F]?)
        faults="$faults  $name: its tag $shown is never the first character of a path a browser sends$nl"
        continue ;;
    esac
    case $name in
      *[!A-Za-z0-9._+~-]*)
        faults="$faults  $name: make and CMake cannot carry this name; use letters, digits and . _ - + ~$nl"
        continue ;;
      pages)
        faults="$faults  pages: its table would be pages.inc$nl"
        continue ;;
    esac
    names="$names$name$nl"
  done
  for name in $names; do
    case $nl$names in
      *"$nl$name.gz$nl"*)
        notes="$notes  $name left out: $name.gz is served in its place$nl"
        continue ;;
    esac
    served="$served$name$nl"
  done
  for name in $served; do
    first=${name%"${name#?}"}
    case $tags in *"$first"*) continue ;; esac
    tags="$tags$first"
    sharing='' count=0
    for other in $served; do
      [ "${other%"${other#?}"}" = "$first" ] || continue
      sharing="$sharing${sharing:+, }$other"
      refused="$refused$other$nl"
      count=$((count + 1))
    done
    [ "$count" -eq 1 ] ||
      faults="$faults  $sharing: one tag, '$first', for $count files; the server would serve one of them for all$nl"
  done
  case $tags in
    *i*) ;;
    *) faults="$faults  no file's name starts with i: the server answers GET / with the page tagged i$nl" ;;
  esac
  case $tags in
    *4*) ;;
    *) notes="$notes  no file's name starts with 4: a path no page is tagged with gets the server's built-in 404$nl" ;;
  esac
  [ -z "$headers" ] || header_lines "$headers" >/dev/null
}

# header_lines FILE: prints FILE's header lines, each ending in CR LF, and
# adds what is wrong with them to faults.
header_lines() {
  number=0
  while IFS= read -r line || [ -n "$line" ]; do
    number=$((number + 1))
    line=$(printf '%s' "$line" | tr -d '\r')
    trimmed=${line#"${line%%[! 	]*}"}
    case $trimmed in '' | '#'*) continue ;; esac
    case $line in
      [!:]*:*) ;;
      *)
        faults="$faults  $1:$number: not a header line (NAME: VALUE)$nl"
        continue ;;
    esac
    field=$(printf '%s' "${line%%:*}" | tr -d ' \t' | tr A-Z a-z)
    case $field in
      content-type | content-length | content-encoding)
        faults="$faults  $1:$number: sets $field, which the site step writes itself$nl"
        continue ;;
    esac
    printf '%s\r\n' "$line"
  done <"$1"
}

# content_type NAME: what NAME is served as.
content_type() {
  case $1 in
    *.*) extension=$(printf '%s' "${1##*.}" | tr A-Z a-z) ;;
    *) extension='' ;;
  esac
  case $extension in
    html | htm) echo text/html ;;
    css) echo text/css ;;
    js) echo text/javascript ;;
    json) echo application/json ;;
    txt) echo text/plain ;;
    svg) echo image/svg+xml ;;
    png) echo image/png ;;
    gif) echo image/gif ;;
    jpg | jpeg) echo image/jpeg ;;
    ico) echo image/x-icon ;;
    xml) echo application/xml ;;
    pdf) echo application/pdf ;;
    woff2) echo font/woff2 ;;
    wasm) echo application/wasm ;;
    *) echo application/octet-stream ;;
  esac
}

case ${1:-} in
  scan)
    check "$2" "$3"
    if [ -n "$faults" ]; then
      echo /refused
      exit 0
    fi
    printf '%s' "$served"
    mkdir -p "${4%/*}"
    if [ "$(cat "$4" 2>/dev/null)$nl" != "$served" ]; then
      printf '%s' "$served" >"$4"
    fi
    ;;
  refuse)
    check "$2" "$3"
    rm -f "$4/pages.inc"
    for name in $refused; do rm -f "$4/$name.inc"; done
    printf 'http2retlw.mk: %s cannot be served:\n%s' "$2" "$faults" >&2
    exit 1
    ;;
  table)
    file=$2 table=$3 headers=$4 converter=$5 pages_inc=$6
    name=${file##*/} work=$3.d
    served=$name encoding=''
    case $name in *.gz) served=${name%.gz} encoding=gzip ;; esac
    status='200 OK'
    case $name in 404.*) status='404 Not Found' ;; esac
    faults=''
    rm -rf "$work" && mkdir -p "$work" && {
      printf 'HTTP/1.0 %s\r\nContent-Type: %s\r\n' "$status" "$(content_type "$served")"
      [ -z "$encoding" ] || printf 'Content-Encoding: %s\r\n' "$encoding"
      printf 'Content-Length:\r\n'
      [ -z "$headers" ] || header_lines "$headers"
      printf '\r\n'
      cat "$file"
    } >"$work/$name" && (cd "$work" && "$converter" "$name") >"$table.tmp"
    result=$?
    rm -rf "$work"
    if [ "$result" -ne 0 ]; then
      rm -f "$table.tmp" "$table" "$pages_inc"
      echo "$file: its stored response did not convert ($result); no table written, pages.inc removed" >&2
      exit 1
    fi
    mv -f "$table.tmp" "$table"
    ;;
  pages)
    site=$2 tables=$3
    shift 3
    check "$site" ''
    count=0 bytes=0 directory='' list=''
    for name; do
      count=$((count + 1))
      directory="$directory	page_table	page_$count$nl"
      list="${list}page_$count	; $name$nl	#include \"$name.inc\"$nl"
      # Entries 1 and 2 of the table: the completed response's length L.
      length=$(sed -n '3s/.*0x//p;4s/.*0x//p' "$tables/$name.inc" | tr -d '\r\n')
      case $length in
        [0-9A-F][0-9A-F][0-9A-F][0-9A-F]) ;;
        *)
          rm -f "$tables/pages.inc"
          echo "$tables/$name.inc is not a table" >&2
          exit 1 ;;
      esac
      bytes=$((bytes + 2 * (0x$length + 5)))
    done
    printf '; The page set of http_server_18.asm, written by the http2retlw site step:\n; the directory, then each table under its label. Assemble with\n; -I set to this folder.\n\n%s\tend_of_pages\n\n%s' \
      "$directory" "$list" >"$tables/pages.inc.tmp" &&
      mv -f "$tables/pages.inc.tmp" "$tables/pages.inc" || exit 1
    [ -z "$notes" ] || printf 'Note:\n%s\n' "$notes"
    tenths=$(((bytes * 1000 + 32768) / 65536))
    echo "pages.inc: $count pages, $bytes bytes of program memory, $((tenths / 10)).$((tenths % 10))% of the PIC18F4620's 64 KiB"
    ;;
  *)
    echo "usage: sh http2retlw_site.sh scan|refuse|table|pages ..." >&2
    exit 2
    ;;
esac
