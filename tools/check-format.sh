#!/usr/bin/env bash
# Fails when a tracked C or C++ source differs from what .clang-format asks for.
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files '*.c' '*.cpp' '*.h' '*.hpp' 2>/dev/null || true)
[ -n "$files" ] || exit 0
# shellcheck disable=SC2086
clang-format --dry-run --Werror $files && echo "format: $(echo "$files" | wc -l) files clean"
