#!/usr/bin/env bash
# A Windows DLL of the SDK must export exactly the twelve VondProxy functions under their
# decorated names and the functions of the C interface under their plain ones, and import
# only Windows system DLLs and the EOS SDK: a game installs no MinGW runtime next to it.
#
# The EOS functions are imported from the EOS DLL of the DLL's architecture, by the names the
# vendor's DLL exports: plain on x64, stdcall-decorated on x86 (_EOS_Platform_Tick@4). Given
# the EOS stand-in's DLL too, every one of them must be among its exports, so that the SDK
# loads and calls it.
#
#   check_dll_exports.sh <objdump> <c++filt> <dll> [<EOS dll>]
set -euo pipefail
objdump=$1
cxxfilt=$2
dll=$3
eos_dll=${4:-}

# MinGW and the Linux build share libstdc++'s name mangling, so the names read back the
# same way on every target.
expected=$(cat "$(dirname "$0")/exported_functions.txt")

headers=$("$objdump" -p "$dll")
status=0

# The export name table: "[Ordinal/Name Pointer] Table" followed by "[  n] name" lines.
exported=$(echo "$headers" | awk '
  /^\[Ordinal\/Name Pointer\] Table/ {inside = 1; next}
  inside && /^[[:space:]]*$/ {inside = 0}
  inside && /\[ *[0-9]+\]/ {print $NF}' | sort)
if [ -z "$exported" ]; then
  echo "$dll exports nothing"
  status=1
fi
# Raw names are the decorated C++ ones or the C interface's own: an undecorated alias of a
# C++ function, or a stdcall-decorated C name (name@N), would be an ABI nobody documents.
c_names=$(echo "$expected" | grep -v '[:(]' | sort)
undecorated=$(echo "$exported" | grep -v '^_Z' | sort || true)
if [ "$undecorated" != "$c_names" ]; then
  echo "the undecorated exports are not exactly the C interface:"
  diff <(echo "$c_names") <(echo "$undecorated") || true
  status=1
fi
# Export names carry no target symbol prefix, so the i686 c++filt must not strip one.
demangled=$(echo "$exported" | "$cxxfilt" --no-strip-underscore | sort)
if [ "$demangled" != "$(echo "$expected" | sort)" ]; then
  echo "exported functions differ from the twelve VondProxy functions and the C interface:"
  diff <(echo "$expected" | sort) <(echo "$demangled") || true
  status=1
fi

# Imports: Windows' own DLLs, the C runtime every Windows has, and the EOS SDK.
allowed='^(kernel32|user32|advapi32|shell32|ole32|oleaut32|rpcrt4|ws2_32|crypt32|winhttp|bcrypt|msvcrt|ntdll|shlwapi|secur32|api-ms-win-[a-z0-9-]+|eossdk-win(32|64)-shipping)\.dll$'
imported=$(echo "$headers" | awk '/DLL Name:/ {print $3}' | sort -u)
foreign=$(echo "$imported" | tr 'A-Z' 'a-z' | grep -Ev "$allowed" || true)
if [ -n "$foreign" ]; then
  echo "$dll needs DLLs a game does not ship:"
  echo "$foreign"
  status=1
fi

# The import table: "DLL Name: x.dll" followed by "<vma> <hint> <name>" lines.
imports_of() {
  echo "$headers" | awk -v want="$1" '
    /DLL Name:/ {inside = (tolower($3) == tolower(want)); next}
    inside && /^[[:space:]]*$/ {inside = 0}
    inside && NF == 3 && $1 ~ /^[0-9a-f]+$/ {print $3}' | sort -u
}
case "$("$objdump" -f "$dll" | grep 'file format')" in
  *pei-i386) eos_name=EOSSDK-Win32-Shipping.dll; eos_pattern='^_EOS_[A-Za-z0-9_]+@[0-9]+$' ;;
  *) eos_name=EOSSDK-Win64-Shipping.dll; eos_pattern='^EOS_[A-Za-z0-9_]+$' ;;
esac
eos_imports=$(imports_of "$eos_name")
if [ -z "$eos_imports" ]; then
  echo "$dll imports nothing from $eos_name"
  status=1
fi
misnamed=$(echo "$eos_imports" | grep -Ev "$eos_pattern" || true)
if [ -n "$misnamed" ]; then
  echo "EOS functions imported under names $eos_name does not have:"
  echo "$misnamed"
  status=1
fi
other_eos=$(echo "$imported" | grep -i '^eossdk-' | grep -vix "$eos_name" || true)
if [ -n "$other_eos" ]; then
  echo "$dll imports the EOS DLL of another architecture: $other_eos"
  status=1
fi
if [ -n "$eos_dll" ]; then
  eos_exports=$("$objdump" -p "$eos_dll" | awk '
    /^\[Ordinal\/Name Pointer\] Table/ {inside = 1; next}
    inside && /^[[:space:]]*$/ {inside = 0}
    inside && /\[ *[0-9]+\]/ {print $NF}' | sort -u)
  missing=$(comm -23 <(echo "$eos_imports") <(echo "$eos_exports"))
  if [ -n "$missing" ]; then
    echo "$(basename "$eos_dll") does not export what the SDK imports:"
    echo "$missing"
    status=1
  fi
fi

if [ "$status" = 0 ]; then
  echo "$(basename "$dll"): exactly the twelve VondProxy functions and the C interface exported; imports: $(echo $imported)"
  echo "$(echo "$eos_imports" | wc -l) EOS functions from $eos_name, e.g. $(echo "$eos_imports" | grep -m1 Platform_Tick)"
fi
exit $status
