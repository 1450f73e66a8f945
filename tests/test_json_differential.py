"""The line parser, through iter_prices_file, against Python's json module.

Acceptance: random lines, valid and mutated, each loaded from a file. A line must load exactly
when Python's json accepts it, except where the stream format is deliberately stricter: NaN and
Infinity literals, lone surrogate escapes, numbers beyond the double range and nesting deeper
than 127 levels are refused. Values: number literals of every shape, read back as a runner's
last traded price and ladder levels, must equal Python's float of the literal bit for bit.
"""

import decimal
import json
import math
import random
import re
import struct

import pytest

import vantrel

# Unicode White_Space: the loader trims it from both ends of a line before parsing.
WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"
DESCRIPTIONS = [
    "EOF while parsing a list", "EOF while parsing an object", "EOF while parsing a string",
    "EOF while parsing a value", "expected `:`", "expected `,` or `]`", "expected `,` or `}`",
    "expected ident", "expected value", "invalid escape", "invalid number", "number out of range",
    "invalid unicode code point", "control character (\\u0000-\\u001F) found while parsing a string",
    "key must be a string", "lone leading surrogate in hex escape", "trailing comma",
    "trailing characters", "unexpected end of hex escape", "recursion limit exceeded", 'expected `"`',
]
JSON_ERROR = re.compile("^(" + "|".join(map(re.escape, DESCRIPTIONS)) + r") at line 1 column ([1-9][0-9]*)$")


class Refused(Exception):
    pass


def refuse_constant(name):
    raise Refused(name)


def depth_of(value):
    if isinstance(value, dict):
        return 1 + max(map(depth_of, value.values()), default=0)
    if isinstance(value, list):
        return 1 + max(map(depth_of, value), default=0)
    return 0


def stricter_than_python(value):
    """True when Python's reading of a line holds something the loader refuses."""
    if isinstance(value, str):
        return any(0xD800 <= ord(c) <= 0xDFFF for c in value)
    if isinstance(value, float):
        return not math.isfinite(value)
    if isinstance(value, int) and not isinstance(value, bool):
        try:
            float(value)
        except OverflowError:
            return True
        return False
    if isinstance(value, dict):
        return any(stricter_than_python(k) or stricter_than_python(v) for k, v in value.items())
    if isinstance(value, list):
        return any(map(stricter_than_python, value))
    return False


def expected_to_load(line):
    text = line.strip(WHITE_SPACE)
    try:
        value = json.loads(text, parse_constant=refuse_constant)
    except (ValueError, Refused, RecursionError):
        return False
    return depth_of(value) <= 127 and not stricter_than_python(value)


# --- random lines ---------------------------------------------------------------------------


class LineMaker:
    WS = [" ", "\t", "\r", "  "]
    ESCAPES = ['\\"', "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t", "\\u00e9", "\\u20AC",
               "\\ud83d\\ude00", "\\uD800", "\\udc00", "\\ud800\\u0041", "\\u0000", "\\x", "\\u12"]
    CHARS = ["a", "Z", "0", " ", "\u00e9", "\u20ac", "\U0001F600", "\x7f", "{", "]", ":", ",", "'"]
    MUTATION_ALPHABET = list('{}[],:"\\ -+.eE0123456789tfnulsaINfy') + ["\x00", "\x01", "\x1f", "\x0c", "\u00a0", "\u2028", "\ufeff"]

    def __init__(self, rng):
        self.rng = rng

    def ws(self):
        return self.rng.choice(self.WS) if self.rng.random() < 0.2 else ""

    def string(self):
        parts = []
        for _ in range(self.rng.randrange(0, 8)):
            if self.rng.random() < 0.25:
                parts.append(self.rng.choice(self.ESCAPES))
            else:
                parts.append(self.rng.choice(self.CHARS) * self.rng.randrange(1, 4))
        return '"' + "".join(parts) + '"'

    def value(self, depth=0):
        kind = self.rng.randrange(9 if depth < 5 else 6)
        if kind == 0:
            return self.rng.choice(["null", "true", "false", "NaN", "Infinity", "-Infinity"])
        if kind in (1, 2):
            return number_literal(self.rng)
        if kind in (3, 4, 5):
            return self.string()
        if kind in (6, 7):
            items = [self.ws() + self.value(depth + 1) + self.ws() for _ in range(self.rng.randrange(0, 4))]
            return "[" + ",".join(items) + "]"
        members = [self.ws() + self.string() + self.ws() + ":" + self.ws() + self.value(depth + 1)
                   for _ in range(self.rng.randrange(0, 4))]
        return "{" + ",".join(members) + "}"

    def mutate(self, text):
        for _ in range(self.rng.randrange(1, 4)):
            at = self.rng.randrange(len(text) + 1)
            op = self.rng.randrange(5)
            if op == 0 and text:
                text = text[:at] + text[at + 1:]
            elif op == 1:
                text = text[:at] + self.rng.choice(self.MUTATION_ALPHABET) + text[at:]
            elif op == 2:
                text = text[:at]
            elif op == 3 and text:
                end = min(len(text), at + self.rng.randrange(1, 6))
                text = text[:at] + text[at:end] * 2 + text[end:]
            else:
                text = self.rng.choice(WHITE_SPACE.replace("\n", "")) + text
        return text

    def line(self):
        text = self.ws() + self.value() + self.ws()
        if self.rng.random() < 0.5:
            text = self.mutate(text)
        return text.replace("\n", "")


EDGE_LINES = [
    "NaN", "Infinity", "-Infinity", "[NaN]", '{"a": -Infinity}', '"\\ud800"', '"\\udfff"', '"\\ud800\\ud800"',
    '"\\ud83d\\ude00"', "1e400", "-1e400", "1e-400", "1" * 400, "-" + "1" * 400, "[1,]", '{"a":1,}', "01", "-",
    "-01", "1.", ".5", "+1", "0x10", "1e", "1e+", "1E-5", "tru", "nul", "nulll", "[", "{", '"abc', '"\\', '"\\u',
    '"\\u12', '"\\u12g4"', '"\x7f"', '"\t"', "[1 2]", '{"a" 1}', "{1:2}", '{"a":1 "b":2}', "\ufeff{}",
    "\u00a0{}\u3000", "{}\x0b", "[]]", "[][]", "  true  ", "[" * 127 + "]" * 127, "[" * 128 + "]" * 128,
    '{"a":' * 127 + "0" + "}" * 127, '{"a":' * 128 + "0" + "}" * 128, '"\\u0000"', '{"":0}', '{"a":1,"a":2}',
]


def load_outcome(tmp_path, line, name="line.json"):
    path = tmp_path / name
    path.write_bytes(line.encode() + b"\n")
    try:
        vantrel.iter_prices_file(str(path))
    except ValueError as error:
        return str(error)
    return None


@pytest.mark.parametrize("seed", range(4))
def test_acceptance_matches_python_json(tmp_path, seed):
    rng = random.Random(seed)
    maker = LineMaker(rng)
    lines = (EDGE_LINES if seed == 0 else []) + [maker.line() for _ in range(600)]
    lines = [line for line in lines if line.strip(WHITE_SPACE)]
    accepted = [line for line in lines if expected_to_load(line)]
    refused = [line for line in lines if not expected_to_load(line)]
    assert accepted and refused

    # All the lines that should load, in one file; only if that fails, one by one to name them.
    if load_outcome(tmp_path, "\n".join(accepted)) is not None:
        wrongly_refused = [(line, load_outcome(tmp_path, line)) for line in accepted]
        assert [pair for pair in wrongly_refused if pair[1] is not None] == []
    for line in refused:
        outcome = load_outcome(tmp_path, line)
        assert outcome is not None, f"loaded a line Python's json refuses: {line!r}"
        match = JSON_ERROR.match(outcome)
        assert match, (line, outcome)
        assert int(match.group(2)) <= max(1, len(line.strip(WHITE_SPACE).encode())), (line, outcome)


# --- number values --------------------------------------------------------------------------


def random_double(rng):
    return struct.unpack("<d", struct.pack("<Q", rng.getrandbits(63)))[0]


def number_literal(rng):
    """One number literal, drawn from the shapes that stress a decimal to double conversion."""
    kind = rng.randrange(12)
    if kind == 0:
        return str(rng.randrange(10 ** rng.randrange(1, 26)))
    if kind == 1:
        edge = rng.choice([2**53, 2**63, 2**64, 10**19, 2**48])
        return str(rng.choice([1, -1]) * (edge + rng.randrange(-2, 3)))
    if kind == 2:  # prices and sizes as a stream writes them, trailing zeros included
        places = rng.randrange(0, 5)
        return f"{rng.uniform(0, 10 ** rng.randrange(1, 9)):.{places}f}"
    if kind == 3:  # the shortest text of an arbitrary double
        value = random_double(rng)
        return repr(value) if math.isfinite(value) else "0.5"
    if kind == 4:
        value = random_double(rng)
        return f"{value:.{rng.randrange(15, 30)}g}" if math.isfinite(value) else "1e0"
    if kind == 5:  # exactly halfway between two neighbouring doubles
        value = abs(random_double(rng))
        if not math.isfinite(value) or value == 0:
            value = 1.0
        low, high = decimal.Decimal(value), decimal.Decimal(math.nextafter(value, math.inf))
        if not high.is_finite():
            return repr(value)
        with decimal.localcontext() as ctx:
            ctx.prec = 1200
            return format((low + high) / 2, "e")
    if kind == 6:  # subnormals and the edges of the range
        return rng.choice(["5e-324", "2.4703282292062327e-324", "2.4703282292062328e-324", "2.2250738585072011e-308",
                           "2.2250738585072012e-308", "1.7976931348623157e308", "1.7976931348623158e308",
                           f"{rng.uniform(1, 10)}e-{rng.randrange(300, 330)}"])
    if kind == 7:  # long plain decimals
        length = rng.randrange(0, 30)
        whole = str(rng.randrange(1, 10)) + "".join(rng.choice("0123456789") for _ in range(length - 1)) if length else "0"
        fraction = "".join(rng.choice("0123456789") for _ in range(rng.randrange(0, 40)))
        return whole + ("." + fraction if fraction else "")
    if kind == 8:
        mantissa = f"{rng.randrange(1, 10)}.{rng.randrange(10**8)}"
        return f"{mantissa}{rng.choice('eE')}{rng.choice(['', '+', '-'])}{rng.randrange(0, 310)}"
    if kind == 9:
        return f"{rng.randrange(1, 10**6)}e-{rng.randrange(0, 40)}"
    if kind == 10:  # the folded [price, size] pair's edges: three decimals, 18- and 24-bit mantissas
        mantissa = rng.choice([2**18 - 1, 2**18, 2**24 - 1, 2**24, rng.randrange(2**24)])
        places = rng.randrange(0, 4)
        text = str(mantissa).rjust(places + 1, "0")
        return text[: len(text) - places] + ("." + text[len(text) - places:] if places else "")
    literal = number_literal(rng)
    return literal if literal.startswith("-") else "-" + literal


def json_number(literal):
    """Python's reading of a literal, as the double the stream's number rule makes of it."""
    return float(json.loads(literal))


def same_double(a, b):
    return struct.pack("<d", a) == struct.pack("<d", b)


@pytest.mark.parametrize("seed", range(3))
def test_number_values_match_python_json(tmp_path, seed):
    rng = random.Random(1000 + seed)
    literals = [number_literal(rng) for _ in range(1500)]
    literals = [lit for lit in literals if math.isfinite(json_number(lit))]
    changes = ", ".join(
        f'{{"id": {i + 1}, "ltp": {lit}, "atb": [[{lit}, 1]], "atl": [[1.01, {lit}]]}}' for i, lit in enumerate(literals)
    )
    path = tmp_path / "numbers.json"
    path.write_text('{"pt": 1, "mc": [{"id": "1.1", "rc": [' + changes + "]}]}\n")
    (book,) = list(vantrel.iter_prices_file(str(path)))
    assert len(book.runners) == len(literals)
    mismatches = []
    for runner in book.runners:
        literal = literals[runner.selection_id - 1]
        expected = json_number(literal)
        back = runner.ex.available_to_back
        lay = runner.ex.available_to_lay
        got = (runner.last_price_traded, back[0].price if back else None, lay[0].size if lay else None)
        want = (expected, expected, expected if expected != 0 else None)
        if not all(w is None and g is None or w is not None and g is not None and same_double(g, w)
                   for g, w in zip(got, want)):
            mismatches.append((literal, want, got))
    assert mismatches == []


@pytest.mark.parametrize("literal", ["1e309", "-1e309", "1" * 320, "1.8e308", "179769313486231590000e288"])
def test_numbers_python_reads_as_infinite_are_refused(tmp_path, literal):
    assert not math.isfinite(float(literal))
    line = '{"pt": 1, "mc": [{"id": "1.1", "rc": [{"id": 1, "ltp": ' + literal + "}]}]}"
    outcome = load_outcome(tmp_path, line)
    assert outcome == f"number out of range at line 1 column {line.index(literal) + len(literal)}"


# --- tokens across the fast path's 16-byte loads and 64-byte steps ---------------------------

CONTROL = "control character (\\u0000-\\u001F) found while parsing a string"


def block_line(offset, fragment):
    """A message line whose `fragment` (the text after `"k":`) starts at byte `offset`."""
    head = '{"pt":1,"p":"'
    tail = '","k":'
    filler = "-" * (offset - len(head) - len(tail))
    return head + filler + tail + fragment + "}"


def backslash_run(count):
    line = '"' + "\\" * count + '"'
    return line, (None if count % 2 == 0 else "EOF while parsing a string at line 1 column {end}")


BLOCK_CASES = {
    **{f"backslashes-{n}": backslash_run(n) for n in range(1, 6)},
    "escaped-quote": ('"ab\\"c{[,:]}"', None),
    "unicode-escape": ('"\\u00e9\\ud83d\\ude00"', None),
    "operators-in-string": ('"{[:,]}  \\\\"', None),
    "whitespace": (' \t\r  [ 1 , 2.5 ,\t"x" ] ', None),
    "number-runs-on": ("1.25x", "expected `,` or `}` at line 1 column {x}"),
    "ident-runs-on": ("truex", "expected `,` or `}` at line 1 column {x}"),
    "control-in-string": ('"ab\x01cd"', CONTROL + " at line 1 column {ctrl}"),
    "unterminated": ('"abc', "EOF while parsing a string at line 1 column {end}"),
}


@pytest.mark.parametrize("offset", [*range(58, 70), *range(122, 134)])
@pytest.mark.parametrize("case", BLOCK_CASES)
def test_tokens_across_blocks(tmp_path, case, offset):
    fragment, expected = BLOCK_CASES[case]
    line = block_line(offset, fragment)
    if case == "unterminated":
        line = line[:-1]
    if expected is not None:
        columns = {"{end}": len(line.encode()), "{x}": line.find("x") + 1, "{ctrl}": line.find("\x01") + 1}
        for name, column in columns.items():
            expected = expected.replace(name, str(column))
    assert (expected is None) == expected_to_load(line)
    assert load_outcome(tmp_path, line) == expected
