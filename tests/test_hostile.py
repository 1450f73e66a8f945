"""Hostile input: damaged, oversized and unusual files.

Each case either loads or fails with the ValueError its fault calls for, and afterwards the
interpreter must still load and replay a good file (the autouse fixture checks that after every
test). Cases build their files in tmp_path and stay small, except the one long line.
"""

import gzip
import json
import os
import random
import re
import signal
import struct
import subprocess
import sys
import zlib

import pytest

import vantrel

MESSAGES = [
    {"op": "mcm", "pt": 1000 + i, "mc": [{"id": "1.1", "rc": [{"id": 7, "atb": [[1.5 + i, 2.0]]}]}]}
    for i in range(3)
]
TEXT = "".join(json.dumps(m) + "\n" for m in MESSAGES).encode()
LINE = json.dumps(MESSAGES[0]).encode()

GZIP_FAULTS = {
    "invalid gzip header",
    "gzip header field too long",
    "corrupt deflate stream",
    "corrupt gzip stream does not have a matching checksum",
    "unexpected end of file",
}
BAD_UTF8 = "stream did not contain valid UTF-8"
JSON_FAULT = re.compile(r"^.+ at line 1 column [1-9][0-9]*$")


def write(tmp_path, name, data):
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def load_error(path):
    with pytest.raises(ValueError) as info:
        vantrel.iter_prices_file(path)
    return str(info.value)


def back_prices(path):
    return [book.runners[0].ex.available_to_back[0].price for book in vantrel.iter_prices_file(path)]


@pytest.fixture(autouse=True)
def still_usable(tmp_path):
    yield
    assert back_prices(write(tmp_path, "afterwards.json", TEXT)) == [1.5, 2.5, 3.5]


def gzip_header(*, name=None, comment=None, extra=None, header_crc=False):
    """A gzip member header, with the optional fields that gzip.compress never writes."""
    flags = (4 if extra is not None else 0) | (8 if name is not None else 0)
    flags |= (16 if comment is not None else 0) | (2 if header_crc else 0)
    header = b"\x1f\x8b\x08" + bytes([flags]) + b"\x00\x00\x00\x00\x00\x03"
    if extra is not None:
        header += struct.pack("<H", len(extra)) + extra
    if name is not None:
        header += name + b"\x00"
    if comment is not None:
        header += comment + b"\x00"
    if header_crc:
        header += struct.pack("<H", zlib.crc32(header) & 0xFFFF)
    return header


def gzip_member(data, header, level=6):
    deflate = zlib.compressobj(level, zlib.DEFLATED, -15)
    return header + deflate.compress(data) + deflate.flush() + struct.pack("<II", zlib.crc32(data), len(data))


HEADERS = {
    "bare": (gzip_header(), 6),
    "every header field": (gzip_header(name=b"x.json", comment=b"rec", extra=b"ab\x01\x00z", header_crc=True), 6),
    "stored blocks": (gzip_header(), 0),
}
MEMBERS = {kind: gzip_member(TEXT, header, level) for kind, (header, level) in HEADERS.items()}
BARE = MEMBERS["bare"]
FULL_HEADER = HEADERS["every header field"][0]


def is_damage_error(message):
    # Text is handed on as it inflates, so damage may first show as bad text.
    return message in GZIP_FAULTS or message == BAD_UTF8 or bool(JSON_FAULT.match(message))


def flipped(data, offset, mask=0xFF):
    damaged = bytearray(data)
    damaged[offset] ^= mask
    return bytes(damaged)


# --- gzip -----------------------------------------------------------------------------------


@pytest.mark.parametrize("kind", MEMBERS)
def test_gzip_cut_short_at_every_offset(tmp_path, kind):
    data = MEMBERS[kind]
    assert back_prices(write(tmp_path, "whole.gz", data)) == [1.5, 2.5, 3.5]
    for size in range(len(data)):
        assert load_error(write(tmp_path, "cut.gz", data[:size])) == "unexpected end of file", size


def incompressible_recording(rng, count):
    # Random clock texts keep the compressed file about as large as the text, so the loader
    # hands back input pages behind the inflater several times over.
    return [json.dumps({"op": "mcm", "clk": rng.randbytes(600).hex(), "pt": 1000 + i,
                        "mc": [{"id": "1.1", "rc": [{"id": 7, "ltp": 1.5 + i % 50}]}]}).encode() + b"\n"
            for i in range(count)]


@pytest.mark.parametrize("damage", [None, "checksum of the last member", "cut inside the last member"])
def test_large_multi_member_gzip(tmp_path, damage):
    lines = incompressible_recording(random.Random(5), 4000)
    members = [gzip_member(b"".join(lines[i:i + 700]), gzip_header()) for i in range(0, len(lines), 700)]
    if damage == "checksum of the last member":
        members[-1] = flipped(members[-1], len(members[-1]) - 6)
    elif damage == "cut inside the last member":
        members[-1] = members[-1][: len(members[-1]) // 2]
    path = write(tmp_path, "large.gz", b"".join(members))
    if damage is None:
        books = list(vantrel.iter_prices_file(path))
        assert [b.publish_time_epoch for b in books] == [1000 + i for i in range(len(lines))]
        assert books[-1].runners[0].last_price_traded == 1.5 + (len(lines) - 1) % 50
    else:
        expected = {"checksum of the last member": "corrupt gzip stream does not have a matching checksum",
                    "cut inside the last member": "unexpected end of file"}[damage]
        assert load_error(path) == expected


@pytest.mark.parametrize(
    "damaged, message",
    [
        (flipped(BARE, 0), "invalid gzip header"),
        (flipped(BARE, 1), "invalid gzip header"),
        (flipped(BARE, 2), "invalid gzip header"),
        *[(flipped(BARE, 3, bit), "invalid gzip header") for bit in (0x20, 0x40, 0x80)],
        (flipped(MEMBERS["every header field"], len(FULL_HEADER) - 1), "invalid gzip header"),
        *[(flipped(BARE, offset), "corrupt gzip stream does not have a matching checksum")
          for offset in range(-8, 0)],
        (gzip_member(TEXT, gzip_header(name=b"n" * 65536)), "gzip header field too long"),
        (gzip_member(TEXT, gzip_header(comment=b"c" * 65536)), "gzip header field too long"),
        (b"\x1f\x8b", "unexpected end of file"),
        (TEXT, "invalid gzip header"),
    ],
    ids=lambda v: v if isinstance(v, str) else "",
)
def test_gzip_header_and_trailer_damage(tmp_path, damaged, message):
    assert load_error(write(tmp_path, "damaged.json.gz", damaged)) == message


@pytest.mark.parametrize("text", [b"{}\n", b"\x1f\x00", b"[1]\r\n"], ids=repr)
def test_short_text_named_gz_is_not_gzip(tmp_path, text):
    # Fewer bytes than a gzip header holds, but the first of them already rules gzip out.
    assert load_error(write(tmp_path, "short.gz", text)) == "invalid gzip header"


def test_gzip_header_fields_nobody_checks_may_change(tmp_path):
    # Modification time, extra flags and OS are informative only, and a name of the longest
    # allowed length is still a name.
    for offset in range(4, 10):
        assert back_prices(write(tmp_path, "f.gz", flipped(BARE, offset))) == [1.5, 2.5, 3.5]
    longest = gzip_member(TEXT, gzip_header(name=b"n" * 65535))
    assert back_prices(write(tmp_path, "n.gz", longest)) == [1.5, 2.5, 3.5]


@pytest.mark.parametrize("kind", MEMBERS)
def test_every_flipped_deflate_byte_is_caught(tmp_path, kind):
    data = MEMBERS[kind]
    for offset in range(len(HEADERS[kind][0]), len(data) - 8):
        message = load_error(write(tmp_path, "flip.gz", flipped(data, offset)))
        assert is_damage_error(message), (offset, message)


def test_every_flipped_byte_of_a_block_with_its_own_codes_is_caught(tmp_path):
    # A block that carries its own Huffman code lengths: a flip there may leave a code set that
    # zlib refuses and igzip decodes by all the same, so it is the checksum that must catch the
    # text that comes of it. Either the file fails, or it reads as it was written.
    messages = [{"op": "mcm", "pt": 1000 + i, "mc": [{"id": "1.1", "rc": [{"id": 7, "atb": [[1.5 + i % 9, 2.0 + i]]}]}]}
                for i in range(30)]
    member = gzip_member("".join(json.dumps(m) + "\n" for m in messages).encode(), gzip_header())
    header = len(gzip_header())
    assert (member[header] >> 1) & 3 == 2  # dynamic codes, not the fixed ones
    expected = back_prices(write(tmp_path, "whole.gz", member))
    assert len(expected) == 30
    for offset in range(header, len(member) - 8):
        for mask in (0x01, 0x10, 0x80):
            path = write(tmp_path, "flip.gz", flipped(member, offset, mask))
            try:
                prices = back_prices(path)
            except ValueError as error:
                message = str(error)
                assert is_damage_error(message), (offset, message)
            else:
                assert prices == expected, (offset, mask)


# --- random bytes ---------------------------------------------------------------------------


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("size", [1, 100, 5000])
def test_random_bytes(tmp_path, seed, size):
    rng = random.Random(seed * 7919 + size)
    data = bytes(rng.randrange(256) for _ in range(size))
    if data[0] == 0x1F:
        data = b"\x00" + data[1:]
    if data.strip(b" \t\n\r\x0b\x0c") == b"":
        data = b"!"
    plain = load_error(write(tmp_path, "noise.json", data))
    assert plain == BAD_UTF8 or JSON_FAULT.match(plain), plain
    compressed = load_error(write(tmp_path, "noise.gz", data))
    if size >= 10:  # a whole fixed header's worth of bytes, and no magic
        assert compressed == "invalid gzip header"
    else:
        assert compressed in {"invalid gzip header", "unexpected end of file"}


# --- UTF-8 ------------------------------------------------------------------------------------

BAD_SEQUENCES = {
    "stray continuation": b"\x80",
    "overlong slash": b"\xc0\xaf",
    "overlong three bytes": b"\xe0\x80\xaf",
    "surrogate": b"\xed\xa0\x80",
    "beyond U+10FFFF": b"\xf4\x90\x80\x80",
    "cut three-byte": b"\xe2\x82",
    "cut four-byte": b"\xf0\x9f\x98",
    "byte 0xff": b"\xff",
    "five-byte lead": b"\xf8\x88\x80\x80\x80",
}
PLACES = {
    "line start": lambda bad: bad + LINE,
    "line end": lambda bad: LINE + bad,
    "inside a string": lambda bad: LINE.replace(b'"1.1"', b'"1.' + bad + b'1"'),
    "between tokens": lambda bad: LINE.replace(b", ", b"," + bad, 1),
}


@pytest.mark.parametrize("sequence", BAD_SEQUENCES)
@pytest.mark.parametrize("place", PLACES)
@pytest.mark.parametrize("line_number", [1, 3])
@pytest.mark.parametrize("gzipped", [False, True], ids=["plain", "gzip"])
def test_invalid_utf8_anywhere_in_a_line(tmp_path, sequence, place, line_number, gzipped):
    bad_line = PLACES[place](BAD_SEQUENCES[sequence])
    lines = TEXT.splitlines()
    lines.insert(line_number - 1, bad_line)
    data = b"\n".join(lines) + b"\n"
    name = "bad.json.gz" if gzipped else "bad.json"
    assert load_error(write(tmp_path, name, gzip.compress(data) if gzipped else data)) == BAD_UTF8


@pytest.mark.parametrize("last_line_ends", [b"\n", b"\r\n", b""], ids=["LF", "CRLF", "no LF"])
def test_invalid_utf8_at_the_very_end(tmp_path, last_line_ends):
    assert load_error(write(tmp_path, "end.json", TEXT + b"{}\xc3" + last_line_ends)) == BAD_UTF8


@pytest.mark.parametrize(
    "first, second, message",
    [
        (b"{\xff}", b"{x}", BAD_UTF8),
        (b"{x}", b"{\xff}", "key must be a string at line 1 column 2"),
    ],
    ids=["bad text first", "bad JSON first"],
)
def test_first_fault_in_file_order_wins(tmp_path, first, second, message):
    assert load_error(write(tmp_path, "two.json", TEXT + first + b"\n" + second + b"\n")) == message


@pytest.mark.parametrize("line_kind", ["short line", "line longer than the window"])
@pytest.mark.parametrize("char, before_edge", [("\u00e9", 1), ("\u20ac", 1), ("\u20ac", 2),
                                               ("\U0001F600", 1), ("\U0001F600", 2), ("\U0001F600", 3)])
def test_character_across_the_read_window_edge(tmp_path, line_kind, char, before_edge):
    # The reader's window is a power of two no larger than 1 MiB, so 1 MiB is one of its edges;
    # a character across it is still one character, whether its line is handed on from the
    # window or outgrows it.
    edge = 1 << 20
    head, tail = LINE.split(b'"1.1"')
    if line_kind == "short line":
        blank = b" " * 99 + b"\n"
        filler = blank * ((edge - len(head) - 10) // len(blank))
        line_head = filler + b" " * (edge - len(filler) - len(head) - 3 - before_edge) + head + b'"1.'
    else:
        line_head = head + b'"1.' + b"y" * (edge - len(head) - 3 - before_edge)
    data = line_head + char.encode() + b'"' + tail + b"\n"
    assert data.index(char.encode()) == edge - before_edge
    market_id = json.loads(data.splitlines()[-1])["mc"][0]["id"]
    books = list(vantrel.iter_prices_file(write(tmp_path, "edge.json", data)))
    assert [book.market_id for book in books] == [market_id]
    assert market_id.endswith(char)


# --- nesting --------------------------------------------------------------------------------


def nested(shape, depth):
    """A line nesting `depth` containers, and the 1-based column of the 128th opener."""
    if shape == "arrays":
        text = "[" * depth + "]" * depth
    elif shape == "objects":
        text = '{"a":' * depth + "1" + "}" * depth
    else:  # inside a message: the line object, "mc" and its change make three levels
        inner = depth - 3
        text = '{"pt": 1, "mc": [{"id": "1.1", "x": ' + "[" * inner + "]" * inner + "}]}"
    openers = [i for i, c in enumerate(text) if c in "[{"]
    return text, (openers[127] + 1 if depth > 127 else None)


@pytest.mark.parametrize("shape", ["arrays", "objects", "message"])
@pytest.mark.parametrize("depth", [126, 127, 128, 129, 100_000])
@pytest.mark.parametrize("indent", ["", " \t\u3000"], ids=["flush", "indented"])
def test_nesting_limit(tmp_path, shape, depth, indent):
    text, column = nested(shape, depth)
    path = write(tmp_path, "deep.json", (indent + text + "\n").encode() + TEXT)
    if column is None:
        assert len(vantrel.iter_prices_file(path)) == 3 + (shape == "message")
    else:
        # Columns count within the trimmed line, whatever indentation came before it.
        assert load_error(path) == f"recursion limit exceeded at line 1 column {column}"


# --- numbers --------------------------------------------------------------------------------


def ltp_line(literal):
    return '{"pt": 1, "mc": [{"id": "1.1", "rc": [{"id": 1, "ltp": ' + literal + "}]}]}"


@pytest.mark.parametrize(
    "literal",
    [
        "1" * 300,
        "1" + "0" * 999 + "e-700",
        "0." + "1" * 1000,
        "-0." + "0" * 999 + "1e1000",
        "17976931348623157" + "0" * 292,
        "1e-400",
        "-1e-400",
        "2.4703282292062327e-324",
        "1e-99999999999",
    ],
    ids=lambda s: s if len(s) < 24 else f"{s[:8]}...({len(s)} chars)",
)
def test_long_and_extreme_numbers_load(tmp_path, literal):
    book = next(iter(vantrel.iter_prices_file(write(tmp_path, "n.json", ltp_line(literal).encode()))))
    value = book.runners[0].last_price_traded
    assert value == float(literal) and repr(value) == repr(float(literal))


@pytest.mark.parametrize(
    "literal",
    ["1" * 1000, "1e400", "-1e400", "9" * 309, "1.7976931348623159e308", "1e99999999999", "-" + "9" * 400],
    ids=lambda s: s if len(s) < 24 else f"{s[:8]}...({len(s)} chars)",
)
def test_numbers_beyond_double_range(tmp_path, literal):
    assert abs(float(literal)) == float("inf")
    line = ltp_line(literal)
    end = line.index(literal) + len(literal)
    assert load_error(write(tmp_path, "n.json", line.encode())) == f"number out of range at line 1 column {end}"


# --- control characters -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "line, message",
    [
        (LINE.replace(b'"1.1"', b'"1.\x001"'), "control character (\\u0000-\\u001F) found while parsing a string"),
        (LINE.replace(b'"mc"', b'"m\x00c"'), "control character (\\u0000-\\u001F) found while parsing a string"),
        (LINE.replace(b'"1.1"', b'"1.\x1f1"'), "control character (\\u0000-\\u001F) found while parsing a string"),
        (LINE.replace(b'"1.1"', b'"1.\t1"'), "control character (\\u0000-\\u001F) found while parsing a string"),
        (b"\x00" + LINE, "expected value"),
        (b"\x00", "expected value"),
        (LINE + b"\x00", "trailing characters"),
        (LINE.replace(b", ", b",\x00", 1), "key must be a string"),
    ],
    ids=["NUL in value", "NUL in key", "unit separator", "raw tab", "NUL first", "NUL line", "NUL last",
         "NUL between tokens"],
)
def test_control_bytes_inside_lines(tmp_path, line, message):
    column = next(i for i, b in enumerate(line) if b < 0x20) + 1
    got = load_error(write(tmp_path, "nul.json", TEXT + line + b"\n"))
    assert got == f"{message} at line 1 column {column}"


# --- size -------------------------------------------------------------------------------------


@pytest.mark.parametrize("gzipped", [False, True], ids=["plain", "gzip"])
def test_line_of_100_mb(tmp_path, gzipped):
    # Padding between tokens: the line is long, its decoded value small, so memory stays near
    # the size of the line itself.
    head = b'{"pt": 5, "mc": [{"id": "1.1", "rc": [{"id": 8, "atb": [[9.5, 1]]}]}],'
    chunk = b" " * (1 << 20)
    path = tmp_path / ("long.json.gz" if gzipped else "long.json")
    opener = gzip.open if gzipped else open
    with opener(path, "wb") as f:
        f.write(head)
        for _ in range(100):
            f.write(chunk)
        f.write(b'"end": true}\n')
        f.write(TEXT)
    assert back_prices(str(path)) == [9.5, 1.5, 2.5, 3.5]


# --- what the path names --------------------------------------------------------------------


@pytest.mark.parametrize("name", ["recording", "recording.gz", "recording.gz/"])
def test_directory(tmp_path, name):
    os.mkdir(tmp_path / name)
    assert load_error(os.path.join(tmp_path, name)) == "Is a directory (os error 21)"


WRITER = """
import sys
data = open(sys.argv[1], "rb").read()
with open(sys.argv[2], "wb") as fifo:
    for i in range(0, len(data), 10007):
        fifo.write(data[i:i + 10007])
        fifo.flush()
"""


@pytest.mark.parametrize("gzipped", [False, True], ids=["plain", "gzip"])
def test_fifo(tmp_path, gzipped):
    # The writer has to be another process: the load holds the interpreter lock from open to
    # the last read, so a writer thread in this interpreter would never get to run.
    fifo = tmp_path / ("live.json.gz" if gzipped else "live.json")
    os.mkfifo(fifo)
    data = TEXT * 1000  # well past a pipe's buffer
    source = write(tmp_path, "source", gzip.compress(data) if gzipped else data)
    writer = subprocess.Popen([sys.executable, "-c", WRITER, source, str(fifo)])
    try:
        books = list(vantrel.iter_prices_file(str(fifo)))
        assert len(books) == 3000
        assert [level.price for level in books[-1].runners[0].ex.available_to_back] == [3.5, 2.5, 1.5]
        assert writer.wait(timeout=60) == 0
    finally:
        if writer.poll() is None:
            writer.kill()
            writer.wait()


# --- a file that shrinks under the reader -------------------------------------------------------

RECORD = 1024  # bytes per line: a power of two, so window-sized reads end on a line boundary
MIB = 1 << 20


def reader_offset(path):
    """Where the loader's descriptor for `path` stands, read from /proc; None when not open."""
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == path:
                with open(f"/proc/self/fdinfo/{fd}") as info:
                    return int(re.search(r"^pos:\s*(\d+)", info.read(), re.M).group(1))
        except OSError:
            continue
    return None


def run_inside_load(path, action):
    """Loads `path` with `action(offset)` run once from inside the load.

    The loader checks for signals between reads, every few MB, and runs Python's handlers there;
    a CPU-time timer armed just before the call makes that happen during the load. Returns the
    iterator and the reader's offset when the action ran, or None if the timer missed the load.
    """
    seen = []

    def handler(signum, frame):
        if not seen:
            offset = reader_offset(path)
            seen.append(offset)
            if offset is not None:
                action(offset)

    previous = signal.signal(signal.SIGPROF, handler)
    try:
        signal.setitimer(signal.ITIMER_PROF, 0.001)
        loaded = vantrel.iter_prices_file(path)
    finally:
        signal.setitimer(signal.ITIMER_PROF, 0)
        signal.signal(signal.SIGPROF, previous)
    return loaded, (seen[0] if seen else None)


def aligned_stream(path, megabytes):
    line = b'{"pt": %d, "mc": [{"id": "1.1", "rc": [{"id": 7, "atb": [[1.5, 2]]}]}]}'
    with open(path, "wb") as f:
        block = b"".join((line % (i + 1)).ljust(RECORD - 1) + b"\n" for i in range(MIB // RECORD))
        for _ in range(megabytes):
            f.write(block)


def test_file_cut_short_while_it_is_read(tmp_path):
    path = str(tmp_path / "rotating.json")
    for _ in range(5):
        aligned_stream(path, 64)
        loaded, offset = run_inside_load(path, lambda offset: os.truncate(path, 2 * MIB))
        if offset is not None:
            break
    else:
        pytest.skip("the CPU timer never fired inside a load")
    # Lines already read stay; the read after the cut finds the end of the file.
    assert offset % (4 * MIB) == 0
    assert len(loaded) == max(offset, 2 * MIB) // RECORD
    assert sum(1 for _ in loaded) == len(loaded)


def test_load_started_from_inside_another_load(tmp_path):
    path = str(tmp_path / "outer.json")
    inner_path = write(tmp_path, "inner.json", TEXT)
    inner = []
    for _ in range(5):
        aligned_stream(path, 64)
        loaded, offset = run_inside_load(path, lambda offset: inner.append(back_prices(inner_path)))
        if offset is not None:
            break
    else:
        pytest.skip("the CPU timer never fired inside a load")
    assert inner == [[1.5, 2.5, 3.5]]
    assert len(loaded) == 64 * MIB // RECORD
