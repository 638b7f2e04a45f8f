#!/bin/sh
# Builds the libFuzzer harnesses (fuzz/fuzz_*.cpp) with clang against the
# library sources, outside the CMake build: fuzz/out/<harness>.
#   fuzz/build.sh [harness...]      (default: all)
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
out=$root/fuzz/out
obj=$out/obj
mkdir -p "$obj"
CXX=${CXX:-clang++}
JOBS=${JOBS:-$(nproc)}
FLAGS="-std=c++20 -O0 -gline-tables-only -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined -I$root/src -I$root/fuzz"

# The library, compiled once (only changed sources are recompiled).
find src -name '*.cpp' ! -path 'src/bin/*' | sort > "$out/sources"
export CXX FLAGS obj
xargs -P "$JOBS" -I{} sh -c '
  src={}; o="$obj/$(echo "$src" | tr / _).o"
  if [ ! -e "$o" ] || [ "$src" -nt "$o" ] || [ -n "$(find src -name "*.hpp" -newer "$o" | head -1)" ]; then
    echo "CXX $src"; $CXX $FLAGS -fsanitize=fuzzer-no-link -c "$src" -o "$o.tmp" && mv "$o.tmp" "$o"
  fi' < "$out/sources"
rm -f "$out/libnorvik_fuzz.a"
ar rcs "$out/libnorvik_fuzz.a" "$obj"/*.o

if [ $# -eq 0 ]; then
  set -- $(cd fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//')
fi
for h in "$@"; do
  echo "LINK $h"
  $CXX $FLAGS -fsanitize=fuzzer "fuzz/$h.cpp" "$out/libnorvik_fuzz.a" -lpthread -o "$out/$h"
done
