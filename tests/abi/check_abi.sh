#!/bin/sh
# Checks that the export list (kepra.def), the public header and a built library agree, so
# that an export missing from any of them fails the tests.
#
#   check_abi.sh linux DEF HEADER LIBKEPRA_SO
#   check_abi.sh windows DEF HEADER KEPRA_DLL OBJDUMP [IMPLIB NM]   (IMPLIB, NM: x86 only)
set -eu
mode=$1 def=$2 header=$3 lib=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail=0

# The list: every indented name in the EXPORTS section.
sed -n 's/^[[:space:]]\{1,\}\([A-Za-z_][A-Za-z0-9_]*\).*/\1/p' "$def" | sort >"$tmp/def"
# The header: functions declared KEPRA_API ... KEPRA_CALL name( and data declared KEPRA_DATA.
tr '\n' ' ' <"$header" | grep -oE 'KEPRA_CALL[[:space:]]+[A-Za-z_][A-Za-z0-9_]*[[:space:]]*\(' |
  sed -E 's/KEPRA_CALL[[:space:]]+([A-Za-z0-9_]+).*/\1/' >"$tmp/header"
grep -oE 'KEPRA_DATA[^;]*[[:space:]]([A-Za-z_][A-Za-z0-9_]*)[[:space:]]*(\[[^]]*\])?;' "$header" |
  sed -E 's/.*[[:space:]]([A-Za-z_][A-Za-z0-9_]*)[[:space:]]*(\[[^]]*\])?;/\1/' >>"$tmp/header"
sort -o "$tmp/header" "$tmp/header"

case "$mode" in
  linux)
    nm -D --defined-only "$lib" | awk '{print $NF}' | sed 's/@.*//' | sort >"$tmp/lib" ;;
  windows)
    objdump=$5
    "$objdump" -p "$lib" >"$tmp/dump"
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' "$tmp/dump" |
      sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*\(.*\)$/\1/p' | sort >"$tmp/lib"
    if grep -q '@' "$tmp/lib"; then
      echo "decorated export names in $lib:"; grep '@' "$tmp/lib"; fail=1
    fi
    # Only the system's DLLs: no C++ runtime, no winpthread.
    sed -n 's/^[[:space:]]*DLL Name: //p' "$tmp/dump" | tr 'A-Z' 'a-z' | sort -u >"$tmp/imports"
    if grep -vxE 'kernel32\.dll|setupapi\.dll|msvcrt\.dll' "$tmp/imports"; then
      echo "unexpected DLL dependencies of $lib (above)"; fail=1
    fi
    if [ $# -ge 7 ]; then
      # x86: the import library keeps the stdcall decorations for every function.
      implib=$6 nm=$7
      "$nm" "$implib" >"$tmp/implib"
      for name in $(grep -vx 'Conv16to8_inst' "$tmp/def"); do
        grep -qE " _${name}@[0-9]+$" "$tmp/implib" || { echo "no stdcall symbol _${name}@N in $implib"; fail=1; }
      done
    fi ;;
  *) echo "unknown mode $mode"; exit 2 ;;
esac

for pair in "def header" "def lib"; do
  set -- $pair
  if ! diff -u "$tmp/$1" "$tmp/$2" >"$tmp/diff"; then
    echo "the export list and the $2 differ:"; cat "$tmp/diff"; fail=1
  fi
done
count=$(wc -l <"$tmp/def")
[ "$fail" -eq 0 ] && echo "ABI consistent: $count exports in list, header and $(basename "$lib")"
exit "$fail"
