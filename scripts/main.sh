#!/usr/bin/env bash
# The package's main job: installs it on a fresh machine, then shows it at work.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"
make_venv .venv-newest "${BUILD_TOOLS[@]}" "${NEWEST[@]}" matplotlib  # matplotlib: the optional plot
install_package .venv-newest build/release
# -P: the installed package, not the source tree in the working directory (which holds norvane.ini)
exec .venv-newest/bin/python -P -m norvane.devtools.showcase "$@"
