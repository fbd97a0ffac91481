#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up, builds and runs every test, headless. With --sanitize it does the same in a
# separate build with AddressSanitizer and UndefinedBehaviorSanitizer, stopping at the
# first report.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "--sanitize" ]; then
    export SALVEX_BUILD=build-sanitize
    scripts/setup.sh -DSALVEX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
    export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=0"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
else
    export SALVEX_BUILD=build
    scripts/setup.sh
fi
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$SALVEX_BUILD" --output-on-failure --timeout 900
