#!/usr/bin/env bash
# Checks the shape of the built Uninstall.exe: PE32 GUI program for Windows
# 4.0, no resources, only the system DLLs (SHELL32 optional: it is loaded from
# the system folder at run time), no wildcard expansion, small.
set -u
exe=$1
objdump=$(command -v i686-w64-mingw32-objdump || command -v objdump)
dump=$("$objdump" -p "$exe") || { echo "cannot read $exe"; exit 1; }
failures=0
check() {  # description, actual, expected
    if [ "$2" == "$3" ]; then echo "ok   $1: $2"; else echo "FAIL $1: got '$2', want '$3'"; failures=$((failures + 1)); fi
}
field() { awk -v k="$1" '$1 == k { print $2; exit }' <<<"$dump"; }
check "format" "$(field Magic)" "010b"
check "subsystem" "$(field Subsystem)" "00000002"
check "subsystem version" "$(field MajorSubsystemVersion).$(field MinorSubsystemVersion)" "4.0"
check "resource directory" "$(awk '/Resource Directory/ { print $3 $4; exit }' <<<"$dump")" "0000000000000000"
check "imported DLLs" "$(awk '/DLL Name:/ { print toupper($3) }' <<<"$dump" | grep -vx SHELL32.DLL | sort | tr '\n' ' ')" \
    "KERNEL32.DLL MSVCRT.DLL USER32.DLL "
size=$(stat -c %s "$exe")
check "size at most 32 KB" "$([ "$size" -le 32768 ] && echo yes || echo "no ($size bytes)")" "yes"
"$objdump" -h "$exe" | grep -q '\.rsrc' && check "no .rsrc section" "present" "absent"
echo "size: $size bytes"
exit $((failures > 0))
