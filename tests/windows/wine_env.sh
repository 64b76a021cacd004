# shellcheck shell=bash
# Sourced by run_wine_tests.sh and .ci/checks/40-windows.sh: Wine set up
# the same way for both.
#
#   start_wine PREFIX   finds Wine (in $wine, $wineserver) and prepares a
#                       prefix in PREFIX; status 77 when Wine is missing, 1
#                       when the prefix cannot be prepared. The wineserver
#                       is stopped when the shell exits.

start_wine() {
  # Debian's wine64 package alone has no `wine` command on the PATH.
  wine=$(command -v wine || true)
  wineserver=$(command -v wineserver || true)
  if [ -z "$wine" ] && [ -x /usr/lib/wine/wine64 ]; then
    wine=/usr/lib/wine/wine64
    wineserver=/usr/lib/wine/wineserver64
  fi
  [ -n "$wine" ] || return 77

  export WINEPREFIX=$1
  export WINEDEBUG=-all
  # Wine turns Unix arguments and file names into UTF-16 by the locale's
  # character set: without UTF-8 here, non-ASCII names arrive garbled.
  export LC_ALL=C.UTF-8
  # No Mono or Gecko: a console program needs neither, and their installers
  # would wait for a click.
  export WINEDLLOVERRIDES='mscoree,mshtml='
  if [ -z "${HOME:-}" ] || [ ! -w "${HOME:-/nonexistent}" ]; then
    export HOME=$1-home
    mkdir -p "$HOME"
  fi
  trap stop_wineserver EXIT
  echo "== Wine prefix $WINEPREFIX"
  timeout 300 "$wine" wineboot --init >/dev/null 2>&1 || {
    echo "FAIL: wineboot could not prepare the prefix"
    return 1
  }
}

stop_wineserver() {
  if [ -n "${wineserver:-}" ]; then
    timeout 30 "$wineserver" -w 2>/dev/null || "$wineserver" -k 2>/dev/null || true
  fi
}
