# Shared set-up for the project's commands: virtual environments with pinned pandas/numpy, and the
# package installed into them through its own build (scikit-build-core + CMake).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PYTHON=${PYTHON:-python3.11}
# The supported interpreters, oldest first; find_python locates each.
VERSIONS=(3.11 3.12 3.13)
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

# find_python VERSION: the path of that CPython (e.g. 3.12): `pythonX.Y` on PATH if it runs, else the
# newest pyenv installation of it.
find_python() {
    local version=$1 candidate
    if candidate=$(command -v "python$version") && "$candidate" -c '' 2>/dev/null; then
        echo "$candidate"; return
    fi
    if command -v pyenv >/dev/null; then
        for candidate in $(ls -d "$(pyenv root)/versions/$version".* 2>/dev/null | sort -V -r); do
            if [ -x "$candidate/bin/python$version" ]; then echo "$candidate/bin/python$version"; return; fi
        done
    fi
    echo "no CPython $version found (neither python$version on PATH nor under pyenv)" >&2
    return 1
}

# Stages of a long command: each one's elapsed time as it ends, and a summary of all when the command
# ends (a stage that failed ends the command; stages after it show as not run).
STAGE_NAMES=()
STAGE_RESULTS=()
STAGES_STARTED=$SECONDS

# stage NAME COMMAND...: runs the command (in a subshell, with errexit) as the stage NAME.
stage() {
    local name=$1; shift
    local start=$SECONDS status
    log "[stage $((${#STAGE_NAMES[@]} + 1))] $name"
    set +e
    (set -e; "$@")
    status=$?
    set -e
    STAGE_NAMES+=("$name")
    if [ "$status" -eq 0 ]; then
        STAGE_RESULTS+=("ok      $(elapsed $((SECONDS - start)))")
    else
        STAGE_RESULTS+=("FAILED  $(elapsed $((SECONDS - start)))  (exit status $status)")
    fi
    log "$name: ${STAGE_RESULTS[-1]}"
    return "$status"
}

elapsed() { printf '%2d min %02d s' $(($1 / 60)) $(($1 % 60)); }

# stage_summary [PLANNED_NAME...]: the table of stages run, then those planned but not reached.
stage_summary() {
    local i name
    printf '\n=== summary (%s in all)\n' "$(elapsed $((SECONDS - STAGES_STARTED)))" >&2
    for i in "${!STAGE_NAMES[@]}"; do
        printf '  %-66s %s\n' "${STAGE_NAMES[$i]}" "${STAGE_RESULTS[$i]}" >&2
    done
    for name in "${@:$((${#STAGE_NAMES[@]} + 1))}"; do
        printf '  %-66s %s\n' "$name" "not run" >&2
    done
}
