"""CMake's configure step on a machine missing one of the compression libraries: the build says
which library is missing, which Debian package brings it and what it costs, and goes on where
it can. A library is made to look missing with CMAKE_DISABLE_FIND_PACKAGE_<name>."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


def working_tool(name):
    """The tool beside this interpreter (the setup venv has cmake and ninja), else on PATH,
    provided it actually runs (a pyenv shim for another version does not)."""
    for candidate in (Path(sys.executable).parent / name, shutil.which(name)):
        if candidate and os.access(candidate, os.X_OK):
            try:
                if subprocess.run([str(candidate), "--version"], capture_output=True).returncode == 0:
                    return str(candidate)
            except OSError:
                continue
    return None


CMAKE = working_tool("cmake")
NINJA = working_tool("ninja")

pytestmark = pytest.mark.skipif(CMAKE is None or not (ROOT / "CMakeLists.txt").exists(),
                                reason="needs cmake and the source tree")


def configure(tmp_path, *defines):
    generator = ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={NINJA}"] if NINJA else []
    return subprocess.run(
        [CMAKE, "-S", str(ROOT), "-B", str(tmp_path / "build"), *generator,
         f"-DPython_EXECUTABLE={sys.executable}", *(f"-D{d}" for d in defines)],
        capture_output=True, text=True)


def warnings_of(output):
    """The text of each CMake warning, its lines joined, without the call stack."""
    found = []
    for block in output.split("CMake Warning")[1:]:
        body = block.split("\n\n")[0].split("Call Stack")[0]
        found.append(" ".join(line.strip() for line in body.splitlines()[1:]))
    return found


def test_nothing_missing_is_quiet(tmp_path):
    done = configure(tmp_path)
    assert done.returncode == 0, done.stderr
    assert warnings_of(done.stderr) == []
    assert "vantrel inflate backend: isal" in done.stdout


@pytest.mark.parametrize("package, library, debian, consequence, backend", [
    ("ISAL", "ISA-L", "libisal-dev", "inflated with zlib instead", "zlib"),
    ("BZip2", "bzip2", "libbz2-dev", "bzip2 files and archive members will fail to read", "isal"),
    ("Zstd", "zstd", "libzstd-dev", "zstd files and archive members will fail to read", "isal"),
    ("LibLZMA", "xz", "liblzma-dev", "xz files and archive members will fail to read", "isal"),
])
def test_missing_library_warns_and_builds_on(tmp_path, package, library, debian, consequence,
                                             backend):
    done = configure(tmp_path, f"CMAKE_DISABLE_FIND_PACKAGE_{package}=ON")
    assert done.returncode == 0, done.stderr
    (warning,) = warnings_of(done.stderr)
    assert library in warning and f"install {debian}" in warning and consequence in warning
    assert f"vantrel inflate backend: {backend}" in done.stdout


@pytest.mark.parametrize("defines, needed", [
    (["CMAKE_DISABLE_FIND_PACKAGE_ISAL=ON", "CMAKE_DISABLE_FIND_PACKAGE_ZLIB=ON"],
     ["libisal-dev", "zlib1g-dev"]),
    (["CMAKE_DISABLE_FIND_PACKAGE_ISAL=ON", "VANTREL_INFLATE=isal"], ["libisal-dev"]),
])
def test_no_usable_inflater_stops_the_build(tmp_path, defines, needed):
    done = configure(tmp_path, *defines)
    assert done.returncode != 0
    error = " ".join(done.stderr.split())
    assert "CMake Error" in done.stderr and all(f"{p}" in error for p in needed), done.stderr
