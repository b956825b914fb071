#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# scripts/test-debs.sh DEBDIR: the package test. Installs every package of
# DEBDIR on this machine with apt-get (as root), checks them from the installed
# files only (nothing of the build tree: the programs on PATH, the libraries,
# headers, pkg-config files and typelibs of the system), then purges them and
# checks that nothing of theirs is left. The packages are purged whatever
# happens. The Python tests come from tests/python of this checkout; the
# programs, libraries and typelibs they load are the installed ones. Runs as
# root (CI) or through sudo.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
debdir=$(realpath "$1")
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
scratch=$(mktemp -d)
mapfile -t debs < <(ls "$debdir"/*.deb)
mapfile -t packages < <(for deb in "${debs[@]}"; do dpkg-deb -f "$deb" Package; done)

purge() {
  $sudo apt-get purge -y -q "${packages[@]}" >"$scratch/purge.log" 2>&1 || {
    cat "$scratch/purge.log" >&2
    return 1
  }
}
cleanup() {
  local status=$?
  if [ -n "${installed:-}" ]; then
    purge || status=1
  fi
  rm -rf "$scratch"
  exit "$status"
}
trap cleanup EXIT
# Interrupted (a CI time-out, ^C), it still purges: the signal becomes an exit.
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# Everything the packages ship, to look for after the purge.
for deb in "${debs[@]}"; do
  dpkg-deb --fsys-tarfile "$deb" | tar -tf - | sed -e 's|^\./|/|' -e 's|/$||' | grep -v '^\.\?$'
done | sort -u >"$scratch/shipped"

echo "test-debs: installing ${packages[*]}"
installed=1
$sudo apt-get install -y -q --no-install-recommends "${debs[@]}" >"$scratch/install.log" 2>&1 || {
  cat "$scratch/install.log" >&2
  exit 1
}

# Nothing of the build tree: no library path, no typelib path of ours.
unset LD_LIBRARY_PATH GI_TYPELIB_PATH PKG_CONFIG_PATH
export PATH=/usr/sbin:/usr/bin:/sbin:/bin

echo "test-debs: the service's user, group, configuration and unit"
getent passwd vekbs >/dev/null && getent group vek >/dev/null
id -nG vekbs | grep -qw vek
[ "$($sudo stat -c '%U:%G %a' /etc/kavrin/vekbs.conf)" = "root:vek 640" ]
[ -f /lib/udev/rules.d/60-vek.rules ]
systemd-analyze verify /lib/systemd/system/vekbs.service
grep -qx 'ExecStart=/usr/bin/vekbs --card --quiet' /lib/systemd/system/vekbs.service

echo "test-debs: vekbs --check on its built-in scenario"
(cd "$scratch" && vekbs --fast --check >/dev/null)
echo "test-debs: vekemu -- vekctl --hwinfo"
vekemu -- vekctl --hwinfo | tee "$scratch/hwinfo"
[ -s "$scratch/hwinfo" ]

echo "test-debs: C programs against the -dev packages, with pkg-config"
for program in "$top"/tests/install/*.c; do
  lib=$(basename "$program" .c)
  # shellcheck disable=SC2046
  gcc -std=c11 -Wall -Wextra -Werror -o "$scratch/$lib" "$program" $(pkg-config --cflags --libs "$lib")
  "$scratch/$lib"
  echo "  $lib: built and ran"
done

echo "test-debs: the Python tests from the installed typelibs"
(cd "$scratch" &&
  VEK_TYPELIB_DIR=/usr/lib/$multiarch/girepository-1.0 VEK_LIBRARY_DIR=/usr/lib/$multiarch \
    VEK_EXAMPLES=/usr/share/doc/libiqhub-dev/examples VEKBS=/usr/bin/vekbs \
    VEKGEN=/usr/bin/vekgen VEKEMU=/usr/bin/vekemu PYTHONDONTWRITEBYTECODE=1 \
    pytest-3 -q -p no:cacheprovider "$top/tests/python")

echo "test-debs: purging"
installed=
purge
for package in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -qv '^unknown ok not-installed$\|^$'; then
    echo "test-debs: $package is still known to dpkg after the purge" >&2
    exit 1
  fi
done
left=0
while IFS= read -r path; do
  [ -e "$path" ] || [ -L "$path" ] || continue
  # A directory another package (or the system) owns stays; so does one the
  # system has made a link to another (/lib -> usr/lib on a merged /usr).
  if [ -d "$path" ] && dpkg-query -S "$(realpath "$path")" >/dev/null 2>&1; then
    continue
  fi
  echo "test-debs: left after the purge: $path" >&2
  left=1
done <"$scratch/shipped"
for path in /etc/kavrin/vekbs.conf /var/log/vekbs /etc/systemd/system/multi-user.target.wants/vekbs.service \
  /var/lib/systemd/deb-systemd-helper-enabled/vekbs.service.dsh-also; do
  if [ -e "$path" ] || [ -L "$path" ]; then
    echo "test-debs: left after the purge: $path" >&2
    left=1
  fi
done
[ "$left" -eq 0 ]
# Debian keeps system users and groups at a purge: files they own may remain.
echo "test-debs: purged; kept as Debian keeps them: user vekbs, group vek"
