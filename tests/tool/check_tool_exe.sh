#!/bin/sh
# kepra.exe under Wine, outside the rig: help, usage errors and "no camera", each with its
# exit status and message.
# Usage: check_tool_exe.sh WINE_RUN KEPRA_EXE
run="$1"
exe="$2"
index="${KEPRA_TEST_INDEX:-7}"
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
failures=0

# expect STATUS STREAM REGEX ARGS...
expect() {
  want="$1" stream="$2" pattern="$3"
  shift 3
  "$run" "$exe" "$@" >"$out" 2>"$err" </dev/null
  got=$?
  file="$out"
  [ "$stream" = err ] && file="$err"
  if [ "$got" -ne "$want" ] || ! grep -Eq -- "$pattern" "$file"; then
    echo "FAIL: kepra $*: exit $got (want $want), $stream lacks /$pattern/"
    sed 's/^/  out: /' "$out"
    sed 's/^/  err: /' "$err"
    failures=$((failures + 1))
  else
    echo "ok: kepra $* -> $got"
  fi
}

# The messages themselves are the in-process tool suite's; here the program's own wiring of
# arguments, output streams and exit status.
expect 0 out "grab frames into PNG or TIFF files" --help
expect 2 err "A subcommand is required" frobnicate
expect 2 err "device index 40 is not 0..34" -d 40 info
expect 3 err "no camera at device index $index" -d "$index" grab --no-save
# The viewer is part of the Windows build (served in-process by kepra_view_server_tests).
expect 0 out "--record-dir" view --help

[ "$failures" -eq 0 ]
