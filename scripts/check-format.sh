#!/usr/bin/env bash
# The house style: every C++ file git tracks is as clang-format leaves it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
echo "format: $(git ls-files '*.cpp' '*.h' | wc -l) files as clang-format leaves them"
