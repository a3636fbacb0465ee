#!/usr/bin/env bash
# Formatting and lint. C++: clang-format with .clang-format over src/. Python: ruff's rules and ruff's
# formatter, configured in pyproject.toml, over the whole checkout. Reports every difference and fails;
# `--fix` rewrites the files instead, after which the check passes.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"
# Pinned, so that a new release changes neither the layout nor the rules under anyone's feet.
LINT_TOOLS=("clang-format==23.1.5" "ruff==0.17.6")
make_venv .venv-lint "${LINT_TOOLS[@]}"
bin=.venv-lint/bin
mapfile -t cpp < <(find src -name '*.cpp' -o -name '*.hpp' | sort)

if [ "${1:-}" = "--fix" ]; then
    "$bin/clang-format" -i "${cpp[@]}"
    # What ruff cannot fix by itself is listed, and fails the command, after the rest is applied.
    status=0
    "$bin/ruff" check --fix --quiet . || status=1
    "$bin/ruff" format --quiet .
    exit "$status"
fi

status=0
"$bin/clang-format" --dry-run --Werror "${cpp[@]}" || status=1
"$bin/ruff" check . || status=1
"$bin/ruff" format --check . || status=1
if [ "$status" -ne 0 ]; then
    log "formatting or lint found the above; 'bash scripts/lint.sh --fix' rewrites what it can"
fi
exit "$status"
