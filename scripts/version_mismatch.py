"""Loads a module built for another CPython version and checks the start-up warning it gives:
    python version_mismatch.py WHEEL
The warning is made an error, so that the foreign module's entry point stops right after its version check
and nothing else of it runs under an interpreter it was not compiled for.
"""

import importlib.machinery
import importlib.util
import re
import sys
import tempfile
import warnings
import zipfile

wheel = sys.argv[1]
built = re.search(r"-cp3(\d+)-", wheel).group(1)
runtime = f"{sys.version_info.major}.{sys.version_info.minor}"
name = "norvane.kestrum_utils.inibridge.inibridge"
with tempfile.TemporaryDirectory() as scratch, zipfile.ZipFile(wheel) as archive:
    member = next(m for m in archive.namelist() if m.startswith(name.replace(".", "/") + ".cpython-"))
    path = archive.extract(member, scratch)
    spec = importlib.util.spec_from_file_location(
        name, path, loader=importlib.machinery.ExtensionFileLoader(name, path)
    )
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        try:
            importlib.util.module_from_spec(spec)
        except RuntimeWarning as warning:
            message = str(warning)
        else:
            sys.exit(f"no warning loading a 3.{built} module into {runtime}")
expected = f"compile time version 3.{built} of module '{name}' does not match runtime version {runtime}"
assert message == expected, f"{message!r} != {expected!r}"
print(f"3.{built} module under CPython {runtime}: RuntimeWarning: {message}")
