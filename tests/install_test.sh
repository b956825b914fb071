#!/usr/bin/env bash
# install_test.sh BUILD_DIR PROGRAMS_DIR "LIBS": installs the build into a
# scratch prefix, then builds and runs each PROGRAMS_DIR/<lib>.c with nothing
# but `gcc -std=c11 $(pkg-config --cflags --libs <lib>)`.
set -euo pipefail
build=$1
programs=$2
libs=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(find "$prefix" -name pkgconfig -type d | head -n 1)
export PKG_CONFIG_PATH=$libdir
tested=0
for lib in $libs; do
  [ -f "$libdir/$lib.pc" ] || continue
  program=$programs/$lib.c
  if [ ! -f "$program" ]; then
    program=$prefix/$lib.c
    printf '#include <%s/%s.h>\nint main(void) { return 0; }\n' "$lib" "$lib" >"$program"
  fi
  # shellcheck disable=SC2046
  gcc -std=c11 -Wall -Wextra -Werror -o "$prefix/$lib-sample" "$program" \
    $(pkg-config --cflags --libs "$lib")
  LD_LIBRARY_PATH=$(dirname "$libdir") "$prefix/$lib-sample"
  echo "$lib: built and ran against the installed headers"
  tested=$((tested + 1))
done
[ "$tested" -gt 0 ]
