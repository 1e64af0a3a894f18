#!/usr/bin/env bash
# Checks that need no build: the layers' include rules and clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/check_layers.sh
git ls-files -z '*.cc' '*.h' | xargs -0 clang-format --dry-run -Werror
echo "style: layers and formatting are clean"
