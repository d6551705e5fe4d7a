#!/usr/bin/env bash
# Fails, naming each file, when a C++ file of the project differs from .clang-format.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bad=0
while IFS= read -r f; do
    if ! clang-format --dry-run -Werror "$f" >/dev/null 2>&1; then
        echo "differs from .clang-format: $f (run clang-format -i $f)"
        bad=1
    fi
done < <(git ls-files --cached --others --exclude-standard '*.cpp' '*.h')
exit $bad
