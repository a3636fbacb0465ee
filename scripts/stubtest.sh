#!/usr/bin/env bash
# Checks the type stubs of the native modules against the modules themselves, as installed:
#   scripts/stubtest.sh [VENV_PYTHON]      (default: .venv-newest/bin/python)
# The package must already be installed in that environment (scripts/test.sh does it). mypy and
# pandas-stubs are added to it when missing, without moving any package that is already there.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

python=${1:-$ROOT/.venv-newest/bin/python}
[ -x "$python" ] || { echo "stubtest: no interpreter at $python" >&2; exit 2; }
python=$(cd "$(dirname "$python")" && pwd)/$(basename "$python")

MYPY_REQUIREMENT="mypy==2.4.1"
MODULES=(
    norvane.kestrum_utils.priceable.futures
    norvane.kestrum_utils.inibridge.inibridge
    norvane.kestrum_data.utility.timeseries.samplers
)

# Runs outside the source tree: from the repository root, mypy and the import system would both pick
# up the working copy instead of the installed package.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

if ! "$python" -c 'import mypy.stubtest, pandas' 2>/dev/null \
        || ! "$python" -m pip show -q pandas-stubs >/dev/null 2>&1; then
    log "installing $MYPY_REQUIREMENT and pandas-stubs into $(dirname "$(dirname "$python")")"
    # The environment's own packages are pinned, so the tools cannot upgrade the numpy or pandas
    # that the tests run against.
    "$python" -m pip freeze --exclude norvane | grep -v -e ' @ ' -e '^-e ' >"$work/constraints.txt"
    "$python" -m pip install -q -c "$work/constraints.txt" "$MYPY_REQUIREMENT" pandas-stubs
fi

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
