#!/usr/bin/env python3
"""Checks that vantrel's extension modules load the compression libraries from the copies a
repaired wheel carries (vantrel.libs/) and need nothing else beyond the C and C++ runtimes that
every manylinux system has.

    python scripts/bundled_libs.py DIR_OR_SO...

Each directory is searched for the package's extension modules. The dynamic loader's own view
(ldd, with LD_LIBRARY_PATH cleared) is what counts, so a library that would be picked up from
/usr/lib only because the -dev packages happen to be installed here is reported. Prints where
each library resolves; exits 1 with the reasons when something is off.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path, PurePosixPath

LIBS_DIR = "vantrel.libs"

# The fast inflater and every decompressor: a wheel without one of them is slower or reads less.
REQUIRED = ("isal", "bz2", "zstd", "lzma")

# What manylinux lets a wheel take from the system.
SYSTEM = ("c", "m", "dl", "rt", "pthread", "stdc++", "gcc_s")

_LINE = re.compile(r"^\s*(\S+)(?:\s+=>\s+(.*?))?\s+\(0x[0-9a-f]+\)\s*$|^\s*(\S+)\s+=>\s+not found\s*$")


@dataclass(frozen=True)
class Dependency:
    soname: str
    path: str | None  # None: the loader did not find it

    @property
    def stem(self) -> str:
        """libzstd-6bb594bb.so.1.5.4 -> zstd: auditwheel renames bundled copies with a hash."""
        name = self.soname.split(".so")[0]
        name = re.sub(r"-[0-9a-f]{8}$", "", name)
        return name[3:] if name.startswith("lib") else name


def parse_ldd(text: str) -> list[Dependency]:
    deps = []
    for line in text.splitlines():
        match = _LINE.match(line)
        if not match:
            continue
        if match.group(3):
            deps.append(Dependency(match.group(3), None))
            continue
        soname, path = match.group(1), match.group(2)
        if soname.startswith("linux-vdso") or soname.startswith("/"):
            continue  # the kernel's page and the loader itself
        deps.append(Dependency(soname, path))
    return deps


def is_bundled(dep: Dependency) -> bool:
    return dep.path is not None and LIBS_DIR in PurePosixPath(dep.path).parts


def problems(deps: list[Dependency]) -> list[str]:
    """What is wrong with one module's resolved dependencies; empty when all is well."""
    found = []
    for dep in deps:
        if dep.path is None:
            found.append(f"{dep.soname} is not found")
        elif not is_bundled(dep) and dep.stem not in SYSTEM:
            found.append(f"{dep.soname} comes from the system ({dep.path}), not from {LIBS_DIR}")
    bundled = {dep.stem for dep in deps if is_bundled(dep)}
    found += [f"lib{name} is not bundled" for name in REQUIRED if name not in bundled]
    return found


def modules(targets: list[str]) -> list[Path]:
    found: list[Path] = []
    for target in map(Path, targets):
        if target.is_dir():
            found += sorted(p for p in target.rglob("*.so") if LIBS_DIR not in p.parts)
        else:
            found.append(target)
    return found


def ldd(module: Path) -> str:
    env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    return subprocess.run(["ldd", str(module)], capture_output=True, text=True, env=env,
                          check=True).stdout


def main(argv: list[str]) -> int:
    found = modules(argv)
    if not found:
        print(f"no extension modules in {' '.join(argv)}", file=sys.stderr)
        return 1
    failed = False
    for module in found:
        deps = parse_ldd(ldd(module))
        print(module.name)
        for dep in deps:
            where = "bundled" if is_bundled(dep) else "system"
            print(f"  {dep.soname:32} {where:8} {dep.path or 'NOT FOUND'}")
        for problem in problems(deps):
            print(f"  problem: {problem}", file=sys.stderr)
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
