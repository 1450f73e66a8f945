"""The check that a repaired wheel's modules take their compression libraries from the wheel."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "scripts"))

from bundled_libs import parse_ldd, problems  # noqa: E402

SITE = "/venv/lib/python3.13/site-packages"
RUNTIME = """\
\tlibstdc++.so.6 => /lib/x86_64-linux-gnu/libstdc++.so.6 (0x00007f2e1c000000)
\tlibm.so.6 => /lib/x86_64-linux-gnu/libm.so.6 (0x00007f2e1bf21000)
\tlibgcc_s.so.1 => /lib/x86_64-linux-gnu/libgcc_s.so.1 (0x00007f2e1bf01000)
\tlibc.so.6 => /lib/x86_64-linux-gnu/libc.so.6 (0x00007f2e1bd20000)
\t/lib64/ld-linux-x86-64.so.2 (0x00007f2e1c53a000)
"""


def bundled(name):
    return f"\t{name} => {SITE}/vantrel/../vantrel.libs/{name} (0x00007f2e1c4a0000)\n"


def system(name):
    return f"\t{name} => /lib/x86_64-linux-gnu/{name} (0x00007f2e1c4a0000)\n"


ALL_BUNDLED = [bundled(n) for n in ("libisal-865753ee.so.2.0.30", "libbz2-e4f501c8.so.1.0.4",
                                    "libzstd-6bb594bb.so.1.5.4", "liblzma-aaead752.so.5.4.1")]


def ldd_text(*lines):
    return "\tlinux-vdso.so.1 (0x00007ffd5b7e5000)\n" + "".join(lines) + RUNTIME


def test_a_repaired_module_passes():
    deps = parse_ldd(ldd_text(*ALL_BUNDLED))
    assert problems(deps) == []
    # The loader and the kernel's page are no libraries to judge; the runtime ones are kept.
    assert [d.stem for d in deps] == ["isal", "bz2", "zstd", "lzma", "stdc++", "m", "gcc_s", "c"]


@pytest.mark.parametrize("lines, expected", [
    # Taken from /usr/lib: works here only because the -dev packages are installed.
    (ALL_BUNDLED[:3] + [system("liblzma.so.5")],
     ["liblzma.so.5 comes from the system (/lib/x86_64-linux-gnu/liblzma.so.5), not from "
      "vantrel.libs", "liblzma is not bundled"]),
    # Built where zstd was missing: the module loads, but reads no zstd file.
    (ALL_BUNDLED[:2] + ALL_BUNDLED[3:], ["libzstd is not bundled"]),
    # A zlib build: zlib must be bundled like the rest, and the fast inflater is missing.
    ([system("libz.so.1")] + ALL_BUNDLED[1:],
     ["libz.so.1 comes from the system (/lib/x86_64-linux-gnu/libz.so.1), not from vantrel.libs",
      "libisal is not bundled"]),
    (ALL_BUNDLED + ["\tlibfoo.so.3 => not found\n"], ["libfoo.so.3 is not found"]),
])
def test_problems_are_named(lines, expected):
    assert problems(parse_ldd(ldd_text(*lines))) == expected


def test_a_bundled_zlib_is_accepted():
    lines = ALL_BUNDLED + [bundled("libz-0f1e2d3c.so.1.2.13")]
    assert problems(parse_ldd(ldd_text(*lines))) == []


def test_a_libs_folder_in_a_name_is_not_a_bundled_copy():
    line = "\tlibzstd.so.1 => /opt/vantrel.libs-old/libzstd.so.1 (0x00007f2e1c4a0000)\n"
    assert "libzstd is not bundled" in problems(parse_ldd(ldd_text(*ALL_BUNDLED[:2], line,
                                                                    ALL_BUNDLED[3])))
