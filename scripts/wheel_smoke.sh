#!/usr/bin/env bash
# Builds the wheel as a user would (`pip wheel .`, with build isolation), installs it with its
# dependencies into a fresh virtual environment and runs scripts/wheel_smoke.py there, outside the
# source tree. Everything but the wheel's build directory lives in a temporary directory.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

log "building the wheel"
"$PYTHON" -m pip wheel -q --no-deps -w "$work/dist" "$ROOT"
wheels=("$work"/dist/norvane-*.whl)
[ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] || { echo "wheel_smoke: expected one wheel, got: ${wheels[*]}" >&2; exit 1; }

log "installing $(basename "${wheels[0]}") into a fresh environment"
"$PYTHON" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q "${wheels[0]}"

log "smoke test"
# A copy of the script, run from the scratch directory: nothing of the source tree is importable.
cp "$ROOT/scripts/wheel_smoke.py" "$work/"
(cd "$work" && "$work/venv/bin/python" -I wheel_smoke.py)
