#!/usr/bin/env bash
# The main job against the stand-ins. For now: build and show the help.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh normal Updater >/dev/null
build/normal/Updater --help
