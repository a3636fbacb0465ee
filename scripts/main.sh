#!/usr/bin/env bash
# The package's main job: installs it on a fresh machine, then shows it at work.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"
PIP_OUTPUT=() BUILD_OUTPUT=(-v)  # show what pip and the compiler are doing: the first run takes minutes
make_venv .venv-newest "${BUILD_TOOLS[@]}" "${NEWEST[@]}" matplotlib  # matplotlib: the optional plot
# NORVANE_INPLACE: the compiled modules are copied next to their packages in the checkout as well, so
# that the checkout itself imports in .venv-newest (the README's Quick start runs from its root).
install_package .venv-newest build/release NORVANE_INPLACE=ON
log "the showcase: .venv-newest/bin/python -m norvane.devtools.showcase $*"
exec .venv-newest/bin/python -m norvane.devtools.showcase "$@"
