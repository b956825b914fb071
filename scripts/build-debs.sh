#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# scripts/build-debs.sh [OUTDIR]: builds the Debian packages (debian/) with
# `dpkg-buildpackage -us -uc -b` from a clean copy of the checkout (the files
# git tracks, as they are in the working tree: no build tree, nothing
# untracked), then checks them with lintian. The packages, the .changes and
# lintian's report land in OUTDIR (default build-deb/).
#
# The package build runs no test (DEB_BUILD_OPTIONS=nocheck, build profile
# nocheck): scripts/test.sh runs the test suite itself and then tests the
# installed packages. Set DEB_BUILD_OPTIONS to add options (parallel=N is
# set from the number of processors).
#
# Exit status: 0 when the packages are built and lintian reports no error
# (its warnings are listed and justified in debian/README.source), 1 otherwise.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$top/build-deb}")
version=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
source=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Source)

mkdir -p "$out"
rm -rf "$out/src"
rm -f "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo "$out/lintian.txt"
tree=$out/src/$source-$version
mkdir -p "$tree"
if git -C "$top" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # Tracked files that the working tree still has (a deletion not yet
  # committed is a deletion).
  (cd "$top" && git ls-files -z --cached | while IFS= read -r -d '' f; do
    [ -e "$f" ] || [ -L "$f" ] && printf '%s\0' "$f"
  done | tar --null --no-recursion -T - -cf -) | tar -xf - -C "$tree"
else
  tar -C "$top" --exclude='./build*' --exclude='./install*' -cf - . | tar -xf - -C "$tree"
fi

echo "build-debs: building $source $version in $tree" >&2
(cd "$tree" &&
  DEB_BUILD_OPTIONS="nocheck parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" \
    dpkg-buildpackage -us -uc -b -Pnocheck)
mv "$out/src"/*.deb "$out/src"/*.changes "$out/src"/*.buildinfo "$out/"

changes=$(ls "$out"/*.changes)
echo "build-debs: lintian $changes" >&2
status=0
lintian --fail-on error --display-info --no-tag-display-limit "$changes" >"$out/lintian.txt" 2>&1 ||
  status=$?
cat "$out/lintian.txt"
echo "build-debs: lintian: $(grep -c '^E: ' "$out/lintian.txt" || true) errors," \
  "$(grep -c '^W: ' "$out/lintian.txt" || true) warnings," \
  "$(grep -c '^I: ' "$out/lintian.txt" || true) notes" >&2
if [ "$status" -ne 0 ]; then
  echo "build-debs: lintian found errors (or failed)" >&2
  exit 1
fi
ls "$out"/*.deb
