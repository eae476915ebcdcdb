#!/usr/bin/env bash
# Fails when a C or C++ source file in the repository does not follow .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
bad=0
while IFS= read -r f; do
    if ! clang-format --dry-run -Werror "$f" >/dev/null 2>&1; then
        echo "not formatted: $f (clang-format -i $f)"
        bad=1
    fi
done < <(git ls-files '*.c' '*.cpp' '*.h')
exit $bad
