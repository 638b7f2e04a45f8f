#!/bin/sh
# Builds the libFuzzer harnesses (fuzz/fuzz_*.cpp) with clang against the
# whole library (src/**/*.cpp except src/bin), outside the CMake build:
# fuzz/out/<harness>.
#   fuzz/build.sh [harness...]      (default: all)
# Restartable: an object is rebuilt only when its source or one of the
# headers it includes (its recorded dependency list) is newer; an interrupted
# compile leaves only a .tmp behind. Every failed source is listed at the end.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
out=$root/fuzz/out
obj=$out/obj
mkdir -p "$obj"
CXX=${CXX:-clang++}
JOBS=${JOBS:-2}
FLAGS="-std=c++20 -O0 -gline-tables-only -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined -I$root/src -I$root/fuzz"

# The library, compiled once.
find src -name '*.cpp' ! -path 'src/bin/*' | sort > "$out/sources"
rm -f "$out/failed"
export CXX FLAGS obj out
xargs -P "$JOBS" -I{} sh -c '
  src={}; o="$obj/$(echo "$src" | tr / _).o"; d="$o.d"
  stale=0
  if [ ! -e "$o" ] || [ "$src" -nt "$o" ]; then
    stale=1
  else
    # Objects from before dependency lists were kept get one (preprocessor only).
    [ -e "$d" ] || $CXX $FLAGS -MM -MT "$o" "$src" -MF "$d" 2>/dev/null || stale=1
    if [ $stale -eq 0 ]; then
      for h in $(sed -e "s/^[^:]*://" -e "s/\\\\$//" "$d"); do
        if [ "$h" -nt "$o" ]; then stale=1; break; fi
      done
    fi
  fi
  if [ $stale -eq 1 ]; then
    echo "CXX $src"
    if $CXX $FLAGS -fsanitize=fuzzer-no-link -MMD -MF "$d.tmp" -c "$src" -o "$o.tmp"; then
      mv "$d.tmp" "$d"; mv "$o.tmp" "$o"
    else
      rm -f "$o.tmp" "$d.tmp"; echo "$src" >> "$out/failed"
    fi
  fi' < "$out/sources"
if [ -s "$out/failed" ]; then
  echo "FAILED to compile:" >&2
  cat "$out/failed" >&2
  exit 1
fi
echo "library: $(wc -l < "$out/sources") sources compiled"

# Objects of sources that no longer exist stay out of the archive.
objs=$(sed -e 's|/|_|g' -e "s|^|$obj/|" -e 's|$|.o|' "$out/sources")
lib=$out/libnorvik_fuzz.a
newer=0
[ -e "$lib" ] || newer=1
[ $newer -eq 1 ] || for o in $objs; do [ "$o" -nt "$lib" ] && { newer=1; break; }; done
if [ $newer -eq 1 ]; then
  rm -f "$lib"
  ar rcs "$lib" $objs
fi

# Helper programs the harnesses run as stand-ins (fuzz/tool_*.cpp).
for t in fuzz/tool_*.cpp; do
  [ -e "$t" ] || continue
  b=$out/$(basename "$t" .cpp)
  if [ ! -e "$b" ] || [ "$t" -nt "$b" ]; then
    echo "TOOL $t"
    $CXX -std=c++20 -O1 "$t" -o "$b"
  fi
done

if [ $# -eq 0 ]; then
  set -- $(cd fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//')
fi
for h in "$@"; do
  b=$out/$h
  if [ -e "$b" ] && [ ! "fuzz/$h.cpp" -nt "$b" ] && [ ! "$lib" -nt "$b" ] && [ ! fuzz/FuzzCommon.hpp -nt "$b" ]; then
    continue
  fi
  echo "LINK $h"
  $CXX $FLAGS -fsanitize=fuzzer "fuzz/$h.cpp" "$lib" -lpthread -o "$b.tmp"
  mv "$b.tmp" "$b"
done
