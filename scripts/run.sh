#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Sets everything up, builds, and runs the main job on the built-in sample data.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/bootstrap.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
exec bash scripts/main-job.sh build
