"""The files a newcomer meets first: the README's two commands, the CI that runs them, the
licence the metadata names, and a demo that needs nothing but the package."""

import re
import subprocess
import sys
import tomllib
from pathlib import Path

import vantrel

ROOT = Path(__file__).resolve().parents[1]


def readme_command(lead):
    """The one-line shell block that follows the README paragraph starting with `lead`."""
    text = (ROOT / "README.md").read_text()
    found = re.search(re.escape(lead) + r".*?```sh\n(.+?)\n```", text, re.DOTALL)
    assert found, lead
    return found.group(1)


def test_the_readme_commands_are_the_ones_ci_and_setup_know():
    demo = readme_command("Set up and replay the sample recording")
    tests = readme_command("Set up with the test dependencies and run the tests")
    assert demo == "bash scripts/setup.sh && .venv/bin/python examples/replay.py"
    # CI runs it as written, timed like its other steps.
    ci = (ROOT / ".ci" / "run").read_text().splitlines()
    assert f"step bash -c '{tests}'" in ci
    flag = tests.split("&&")[0].split()[2:]
    assert flag and f"{flag[0]})" in (ROOT / "scripts" / "setup.sh").read_text()


def test_setup_refuses_what_it_does_not_know():
    done = subprocess.run(["bash", str(ROOT / "scripts" / "setup.sh"), "--test"],
                          capture_output=True, text=True)
    assert done.returncode == 2 and "usage: bash scripts/setup.sh [--tests]" in done.stderr


def test_the_licence_is_the_one_the_metadata_names():
    metadata = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    licence = (ROOT / "LICENSE").read_text()
    assert licence.splitlines()[0] == f"{metadata['license']['text']} License"
    assert metadata["version"] == vantrel.__version__
    changelog = (ROOT / "CHANGELOG.md").read_text()
    assert f"## {vantrel.__version__} (" in changelog


def test_the_demo_needs_only_the_package_and_warns_of_nothing():
    optional = ["pyarrow", "pandas", "dask", "fsspec", "flumine", "betfairlightweight",
                "matplotlib", "rich", "zstandard"]
    script = (f"import sys, runpy\nfor name in {optional!r}: sys.modules[name] = None\n"
              f"sys.argv = [{str(ROOT / 'examples' / 'replay.py')!r}]\n"
              "runpy.run_path(sys.argv[0], run_name='__main__')")
    done = subprocess.run([sys.executable, "-W", "error", "-c", script], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "books      1200" in done.stdout and "market     1.234567890" in done.stdout
    assert done.stderr == ""
