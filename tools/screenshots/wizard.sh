#!/usr/bin/env bash
# Saves a PNG of every Setup Wizard page under Xvfb, for a look at the layout.
# Usage: tools/screenshots/wizard.sh [build directory] [output directory]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
out=${2:-$build/screenshots}
cmake --build "$build" -j2 --target wizard_screenshots
mkdir -p "$out"
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24" "$build/tests/wizard/wizard_screenshots" "$out"
ls "$out"/wizard-*.png
