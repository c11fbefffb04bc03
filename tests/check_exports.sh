#!/usr/bin/env bash
# The shared library must define exactly the twelve VondProxy functions and the functions of
# the C interface, and nothing else.
set -euo pipefail
lib=$1
expected=$(cat "$(dirname "$0")/exported_functions.txt")
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRrVviu]$/ {print $3}' | c++filt | sort)
if [ "$actual" != "$(echo "$expected" | sort)" ]; then
  echo "exported symbols differ from the twelve VondProxy functions and the C interface:"
  diff <(echo "$expected" | sort) <(echo "$actual") || true
  exit 1
fi
echo "exactly the twelve VondProxy functions and the C interface are exported"
