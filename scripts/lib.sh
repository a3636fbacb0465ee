# Shared set-up for the project's commands: virtual environments with pinned pandas/numpy, and the
# package installed into them through its own build (scikit-build-core + CMake).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PYTHON=${PYTHON:-python3.11}
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1

log() { printf '\n=== %s\n' "$*" >&2; }

# pip's own output: quiet by default; scripts/main.sh, which a new user sits through, lets pip report
# each package (PIP_OUTPUT=()) and the build's compiler steps (BUILD_OUTPUT=(-v)).
PIP_OUTPUT=(-q)
BUILD_OUTPUT=(-q)

# make_venv DIR REQUIREMENT...: a venv at DIR with the requirements (idempotent).
make_venv() {
    local dir=$1; shift
    if [ ! -x "$dir/bin/python" ]; then
        log "creating the virtual environment $dir ($("$PYTHON" --version))"
        "$PYTHON" -m venv "$dir"
    fi
    log "installing into $dir: pip (upgraded), $*"
    "$dir/bin/python" -m pip install -q --upgrade pip >/dev/null
    "$dir/bin/python" -m pip install "${PIP_OUTPUT[@]}" "$@"
}

# install_package DIR BUILD_DIR [CMAKE_DEFINE...]: builds and installs the package into the venv at DIR.
install_package() {
    local dir=$1 build_dir=$2; shift 2
    local defines=()
    for define in "$@"; do defines+=(-C "cmake.define.$define"); done
    log "building norvane (CMake, C++, in $build_dir) and installing it into $dir"
    "$dir/bin/python" -m pip install "${BUILD_OUTPUT[@]}" --no-build-isolation --force-reinstall --no-deps \
        -C "build-dir=$build_dir" "${defines[@]}" "$ROOT"
}

BUILD_TOOLS=(scikit-build-core cmake ninja)
NEWEST=("pandas>=3" "numpy>=2" pytest hypothesis)
# The extra "dask" (pyproject.toml), installed where the partitioned samplers are tested.
DASK=("dask[dataframe]>=2025.1" "distributed>=2025.1" "pyarrow>=15")
OLDEST=("pandas==1.5.3" "numpy==1.26.4" pytest hypothesis)
