"""What an editor and a type checker see of the package: option values a checker refuses, the
argument types by name, docstrings on the stubs."""

import ast
import subprocess
import sys
import typing
from pathlib import Path

import pytest

import vantrel

ROOT = Path(__file__).resolve().parents[1]
STUB = Path(vantrel.__file__).with_name("vantrel.pyi")

# Each line a call; the checker must refuse exactly those marked "bad".
CALLS = """
import io, pathlib
import vantrel
vantrel.replay("a.json", errors="skip", runner_order="key")
vantrel.replay([b"", io.BytesIO(), pathlib.Path("a").glob("*.gz")])
vantrel.prices_table("a.json", form="ladder", errors="raise")
vantrel.replay("a.json", errors="ignore")  # bad
vantrel.replay("a.json", runner_order="name")  # bad
vantrel.prices_table("a.json", form="bset")  # bad
vantrel.trades_table("a.json", errors="warn")  # bad
vantrel.replay(5)  # bad
vantrel.replay([1.5])  # bad
vantrel.replay("a.json", venues=["Ascot"], race_types="Flat", bsp_market=True)
vantrel.trades_table("a.json", market_filter={"marketTypes": ["WIN"]}, window=(-600, None))
vantrel.prices_table("a.json", every=1000, window=(-600.5, 0), event_type_ids={"7"})
vantrel.replay("a.json", bsp_market="yes")  # bad
vantrel.replay("a.json", venu=["Ascot"])  # bad
vantrel.market_summaries("a.json", country_codes=5)  # bad
vantrel.prices_table("a.json", window=-600)  # bad
vantrel.trades_table("a.json", window=("-600", 0))  # bad
source: vantrel.Source = ["a.json", b""]
form: vantrel.Form = "best"
"""


def test_a_type_checker_refuses_what_the_options_do_not_take(tmp_path):
    pytest.importorskip("mypy")
    script = tmp_path / "calls.py"
    script.write_text(CALLS)
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "--ignore-missing-imports", str(script)],
                          capture_output=True, text=True, cwd=tmp_path, timeout=600)
    flagged = {int(line.split(":")[1]) for line in done.stdout.splitlines()
               if line.startswith("calls.py:") and ": error:" in line}
    bad = {n for n, line in enumerate(CALLS.splitlines(), 1) if line.endswith("# bad")}
    assert flagged == bad, done.stdout


@pytest.mark.parametrize("name, values", [
    ("Form", ("best", "ladder", "ltp")),
    ("Ladder", ("auto", "full", "display", "best")),
    ("Errors", ("raise", "skip")),
    ("RunnerOrder", ("definition", "key")),
    ("DtypeBackend", ("numpy_nullable", "pyarrow")),
])
def test_the_option_types_are_what_the_functions_take(name, values):
    assert typing.get_args(getattr(vantrel, name).__value__) == values


def test_an_unknown_name_is_still_an_attribute_error():
    with pytest.raises(AttributeError, match="no attribute 'Sourse'"):
        vantrel.Sourse  # noqa: B018


def stub_names():
    """(owner, name, node) of every class, attribute, property and function of the stub."""
    tree = ast.parse(STUB.read_text())
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            yield "vantrel", node.name, node
        if isinstance(node, ast.ClassDef):
            for member in node.body:
                if isinstance(member, ast.FunctionDef) and not member.name.startswith("__"):
                    yield node.name, member.name, member


def test_every_name_of_the_stub_has_a_docstring():
    missing = [f"{owner}.{name}" for owner, name, node in stub_names()
               if not ast.get_docstring(node)]
    assert missing == []
    tree = ast.parse(STUB.read_text())
    book = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "MarketBook")
    plain = [n for n in book.body if isinstance(n, ast.AnnAssign)]
    for attribute in plain:
        after = book.body[book.body.index(attribute) + 1]
        assert isinstance(after, ast.Expr) and isinstance(after.value, ast.Constant), (
            ast.unparse(attribute))
