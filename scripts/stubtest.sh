#!/usr/bin/env bash
# Checks the type stubs of the native modules against the modules themselves, as installed:
#   scripts/stubtest.sh
# The check runs in an environment of its own, .venv-stubtest (the newest pandas and numpy, mypy and
# pandas-stubs), so that its tools never move a package of the environments that the tests run in. It
# has its own build directory as well: a build directory that changes environments is built afresh.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

MYPY_REQUIREMENT="mypy==2.4.1"
make_venv "$ROOT/.venv-stubtest" "${BUILD_TOOLS[@]}" "pandas>=3" "numpy>=2" "$MYPY_REQUIREMENT" pandas-stubs
install_package "$ROOT/.venv-stubtest" "$ROOT/build/stubtest"
python=$ROOT/.venv-stubtest/bin/python

MODULES=(
    norvane.kestrum_utils.priceable.futures
    norvane.kestrum_utils.inibridge.inibridge
    norvane.kestrum_data.utility.timeseries.samplers
    norvane.kestrum_data.utility.timeseries.bars
)

# Runs outside the source tree: from the repository root, mypy and the import system would both pick
# up the working copy instead of the installed package.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# A package installed before the stubs existed would be reported module by module; say it once.
"$python" - "${MODULES[@]}" <<'PY'
import importlib.util, pathlib, sys
package = pathlib.Path(importlib.util.find_spec("norvane").origin).parent
missing = [] if (package / "py.typed").is_file() else ["py.typed"]
for module in sys.argv[1:]:
    spec = importlib.util.find_spec(module)
    if spec is None:
        sys.exit(f"stubtest: {module} is not installed in {package}")
    if not pathlib.Path(spec.origin).with_name(module.rsplit(".", 1)[1] + ".pyi").is_file():
        missing.append(module + " stub")
if missing:
    sys.exit(f"stubtest: the package installed at {package} lacks {', '.join(missing)}; reinstall it")
PY

log "stubtest: ${MODULES[*]}"
"$python" -m mypy.stubtest "${MODULES[@]}" \
    --allowlist "$ROOT/scripts/stubtest-allowlist.txt" --strict-type-check-only
