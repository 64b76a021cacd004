#!/usr/bin/env bash
# The same sources must build without a single warning.
set -euo pipefail
cmake --preset ci >/dev/null
cmake --build --preset ci -j2
ctest --preset ci
