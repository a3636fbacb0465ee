#!/usr/bin/env bash
# Runs every test, stage by stage, and does all set-up itself on a fresh machine:
#   scripts/test.sh [--quick] [PYTEST_ARGUMENT...]
# The formatting and lint check first (seconds); CPython 3.11 on the newest and the oldest supported pandas, the type stubs, a build with AddressSanitizer
# and UndefinedBehaviorSanitizer; then the wheels of 3.11, 3.12 and 3.13 and the sdist, each installed as a
# user would and smoke-tested; then the whole suite on 3.12 and 3.13 against their wheels. Each stage's
# time is printed as it ends, and a summary of all at the end. The memory figures of the leak checks go to
# build/figures/<stage>.txt (printed only when a check fails).
# --quick: only the 3.11 newest-pandas stage, without the slow runs; for local work, CI runs all.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"

QUICK=0
if [ "${1:-}" = "--quick" ]; then QUICK=1; shift; fi
PYTEST_ARGS=("$@")
mkdir -p "$ROOT/build/figures"

# pytest_in VENV FIGURES_NAME [PYTEST_ARGUMENT...]: the suite, from the tests folder, against the package
# installed in VENV (a folder of the checkout), with the variables of TEST_ENV set for the interpreter.
TEST_ENV=()
pytest_in() {
    local venv=$ROOT/$1 figures=$ROOT/build/figures/$2.txt; shift 2
    rm -f "$figures"
    (cd "$ROOT/tests" && env "${TEST_ENV[@]}" NORVANE_FIGURES="$figures" "$venv/bin/python" -m pytest -q \
        -p no:cacheprovider "$@" "${PYTEST_ARGS[@]}" "$ROOT/tests")
}

newest_311() {
    make_venv .venv-newest "${BUILD_TOOLS[@]}" "${NEWEST[@]}" "${DASK[@]}"
    install_package .venv-newest build/release
    if [ "$QUICK" = 1 ]; then pytest_in .venv-newest newest-3.11 -m "not slow"; else pytest_in .venv-newest newest-3.11; fi
}

stubtest() { bash "$ROOT/scripts/stubtest.sh"; }

lint() { bash "$ROOT/scripts/lint.sh"; }

oldest_311() {
    make_venv .venv-oldest "${BUILD_TOOLS[@]}" "${OLDEST[@]}"
    install_package .venv-oldest build/release
    pytest_in .venv-oldest oldest-3.11
}

sanitizers() {
    make_venv .venv-sanitize "${BUILD_TOOLS[@]}" "${NEWEST[@]}"
    install_package .venv-sanitize build/sanitize NORVANE_SANITIZE=ON
    local runtime
    runtime="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
    # The interpreter itself is not instrumented, so the sanitizer runtimes are preloaded; leak detection
    # is left to the reference-count tests, which see Python objects that a leak checker cannot. The long
    # runs (resident-memory figures, many processes) ran in the stages above; here they would only measure
    # the sanitizer's own bookkeeping.
    TEST_ENV=(LD_PRELOAD="$runtime" PYTHONMALLOC=malloc
              ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1
              UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 NORVANE_SANITIZED=1)
    pytest_in .venv-sanitize sanitize -m "not slow"
}

wheels() { bash "$ROOT/scripts/wheels.sh" "${VERSIONS[@]}"; }

smoke_wheels() {
    local version previous=${VERSIONS[-1]}
    for version in "${VERSIONS[@]}"; do
        bash "$ROOT/scripts/wheel_smoke.sh" "$version" "$ROOT"/build/dist/norvane-*-cp"${version/./}"-*.whl
        # A module of another version's wheel, loaded by this interpreter: the start-up version warning.
        "$(find_python "$version")" -I "$ROOT/scripts/version_mismatch.py" \
            "$ROOT"/build/dist/norvane-*-cp"${previous/./}"-*.whl
        previous=$version
    done
}

smoke_sdist() { bash "$ROOT/scripts/wheel_smoke.sh" "${VERSIONS[-1]}" "$ROOT"/build/dist/norvane-*.tar.gz; }

# suite_on_wheel VERSION: the whole suite with the newest pandas, against the wheel users of VERSION get.
suite_on_wheel() {
    local version=$1 venv=.venv-py${1/./}
    PYTHON=$(find_python "$version") make_venv "$venv" "${NEWEST[@]}"
    "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$ROOT"/build/dist/norvane-*-cp"${version/./}"-*.whl
    pytest_in "$venv" "newest-$version"
}

STAGES=(
    "formatting (clang-format, ruff format) and lint (ruff)"
    "3.11, newest pandas and numpy"
    "type stubs against the installed modules (stubtest)"
    "3.11, oldest supported pandas (1.5) with numpy 1.x"
    "3.11, sanitizers (AddressSanitizer, UndefinedBehaviorSanitizer)"
    "wheels (3.11, 3.12, 3.13; zig c++, auditwheel) and the sdist"
    "each wheel in a fresh environment without a compiler: smoke; version warning"
    "the sdist built by pip in a fresh environment: smoke"
    "3.12, newest pandas and numpy, on its wheel"
    "3.13, newest pandas and numpy, on its wheel"
)
COMMANDS=(lint newest_311 stubtest oldest_311 sanitizers wheels smoke_wheels smoke_sdist "suite_on_wheel 3.12"
          "suite_on_wheel 3.13")
[ "$QUICK" = 1 ] && STAGES=("${STAGES[1]} (quick: no slow runs)") COMMANDS=("${COMMANDS[1]}")

trap 'stage_summary "${STAGES[@]}"' EXIT
for i in "${!STAGES[@]}"; do
    # shellcheck disable=SC2086  # a command and its argument
    stage "${STAGES[$i]}" ${COMMANDS[$i]}
done
