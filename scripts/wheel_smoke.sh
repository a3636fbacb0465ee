#!/usr/bin/env bash
# Installs a built wheel or sdist into a fresh virtual environment of its interpreter, as a user would,
# and runs scripts/wheel_smoke.py there (the README's Quick start and one call of each module), outside
# the source tree:
#   scripts/wheel_smoke.sh VERSION ARTIFACT
# A wheel is installed with no compiler reachable (a PATH without cc, c++, gcc or g++; CC and CXX set to
# `false`) and with binary packages only, so that nothing at all can be built; an sdist is built by pip
# with the machine's compiler. Everything lives in a temporary directory.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

version=$1 artifact=$2
python=$(find_python "$version")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

log "installing $(basename "$artifact") into a fresh CPython $version environment"
"$python" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --upgrade pip >/dev/null
if [[ $artifact == *.whl ]]; then
    # The PATH is the environment's bin directory alone: no compiler, nor anything else of the machine's.
    env PATH="$work/venv/bin" CC=false CXX=false NORVANE_SMOKE_NO_COMPILER=1 \
        "$work/venv/bin/python" -m pip install -q --only-binary :all: "$artifact"
    no_compiler=1
else
    "$work/venv/bin/python" -m pip install "${BUILD_OUTPUT[@]}" "$artifact"
    no_compiler=0
fi

log "smoke test (CPython $version, $(basename "$artifact"))"
# A copy of the script, run from the scratch directory: nothing of the source tree is importable.
cp "$ROOT/scripts/wheel_smoke.py" "$ROOT/README.md" "$work/"
if [ "$no_compiler" = 1 ]; then
    (cd "$work" && env PATH="$work/venv/bin" CC=false CXX=false NORVANE_SMOKE_NO_COMPILER=1 \
        "$work/venv/bin/python" -I wheel_smoke.py README.md)
else
    (cd "$work" && "$work/venv/bin/python" -I wheel_smoke.py README.md)
fi
