#!/usr/bin/env bash
# Builds vum (installing the Debian packages it needs) and runs it with the
# given arguments.
set -euo pipefail
cd "$(dirname "$0")"
. tools/ensure-packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target vum >/dev/null
exec build/vum "$@"
