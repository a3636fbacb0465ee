#!/usr/bin/env bash
# Runs every test: on the newest and the oldest supported pandas, then once more against a build with
# AddressSanitizer and UndefinedBehaviorSanitizer. Does all set-up itself on a fresh machine.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"

log "newest pandas and numpy"
make_venv .venv-newest "${BUILD_TOOLS[@]}" "${NEWEST[@]}" "${DASK[@]}"
install_package .venv-newest build/release
(cd "$ROOT/tests" && "$ROOT/.venv-newest/bin/python" -m pytest -q -p no:cacheprovider "$ROOT/tests" "$@")

log "type stubs against the installed modules (stubtest)"
bash "$ROOT/scripts/stubtest.sh"

log "oldest supported pandas (1.5) with numpy 1.x"
make_venv .venv-oldest "${BUILD_TOOLS[@]}" "${OLDEST[@]}"
install_package .venv-oldest build/release
(cd "$ROOT/tests" && "$ROOT/.venv-oldest/bin/python" -m pytest -q -p no:cacheprovider "$ROOT/tests" "$@")

log "sanitizers (AddressSanitizer, UndefinedBehaviorSanitizer)"
make_venv .venv-sanitize "${BUILD_TOOLS[@]}" "${NEWEST[@]}"
install_package .venv-sanitize build/sanitize NORVANE_SANITIZE=ON
runtime="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
# The interpreter itself is not instrumented, so the sanitizer runtimes are preloaded; leak detection is
# left to the reference-count tests, which see Python objects that a leak checker cannot. The long runs
# (resident-memory figures, many processes) ran in the two runs above; here they would only measure the
# sanitizer's own bookkeeping.
(cd "$ROOT/tests" && LD_PRELOAD="$runtime" PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    NORVANE_SANITIZED=1 "$ROOT/.venv-sanitize/bin/python" -m pytest -q -p no:cacheprovider -m "not slow" \
    "$ROOT/tests" "$@")

log "wheel built as a user would, installed into a fresh environment, smoke test"
bash "$ROOT/scripts/wheel_smoke.sh"
