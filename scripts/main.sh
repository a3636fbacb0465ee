#!/usr/bin/env bash
# The package's main job: installs it on a fresh machine, then shows it at work.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"
make_venv .venv-newest "${BUILD_TOOLS[@]}" "${NEWEST[@]}"
install_package .venv-newest build/release
exec .venv-newest/bin/python -m norvane.devtools.showcase "$@"
