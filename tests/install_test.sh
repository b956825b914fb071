#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# install_test.sh BUILD_DIR PROGRAMS_DIR "LIBS": installs the build into a
# scratch prefix, then builds and runs each PROGRAMS_DIR/<lib>.c with nothing
# but `gcc -std=c11 $(pkg-config --cflags --libs <lib>)`. Each library's .pc
# must also name, for static linking, every library of the project it needs.
set -euo pipefail
build=$1
programs=$2
libs=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# Files with an absolute destination (the udev rule) land under DESTDIR too.
DESTDIR=$scratch cmake --install "$build" --prefix /opt/vek >/dev/null
prefix=$scratch/opt/vek
# The udev rule goes to udev's own directory, never under the prefix.
rule=$(find "$scratch" -name 60-vek.rules)
if [ -z "$rule" ] || [[ $rule == "$prefix"/* ]]; then
  echo "60-vek.rules is not installed to udev's directory: ${rule:-missing}" >&2
  exit 1
fi
# The service unit runs the vekbs of this install, wherever the prefix put it.
unit=$prefix/lib/systemd/system/vekbs.service
exec_start=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")
if [ "$exec_start" != /opt/vek/bin/vekbs ] || [ ! -x "$scratch$exec_start" ]; then
  echo "vekbs.service runs '${exec_start:-nothing}', not the installed /opt/vek/bin/vekbs" >&2
  exit 1
fi
echo "vekbs.service: ExecStart=$exec_start, installed"
libdir=$(find "$prefix" -name pkgconfig -type d | head -n 1)
export PKG_CONFIG_PATH=$libdir
tested=0
for lib in $libs; do
  if [ ! -f "$libdir/$lib.pc" ]; then
    echo "$lib: no $lib.pc installed" >&2
    exit 1
  fi
  static_libs=" $(pkg-config --static --libs "$lib") "
  for needed in $(objdump -p "$libdir/../lib$lib.so" | awk '$1 == "NEEDED" { print $2 }'); do
    stem=${needed#lib}
    stem=${stem%%.so*}
    if [[ " $libs " == *" $stem "* ]] && [[ "$static_libs" != *" -l$stem "* ]]; then
      echo "$lib: links lib$stem but $lib.pc does not require it" >&2
      exit 1
    fi
  done
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
[ "$tested" -eq "$(wc -w <<<"$libs")" ]
