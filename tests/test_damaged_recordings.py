"""Damage that must never pass for an empty or shorter recording through the package API:
zeroed blocks, unreadable definition times, member names that are not UTF-8, a publish time
decades off. Each case names what it met, or reads what is there, and never loses data silently.
"""

import gzip
import io
import json
import tarfile

import pytest

import vantrel
from helpers.archives import compress, tar_bytes
from helpers.recordings import market_recording

pa = pytest.importorskip("pyarrow")

BLOCK = 512


def recording_text(market_id="1.100", seed=1, **options):
    return "".join(json.dumps(m) + "\n" for m in market_recording(market_id, seed, 40, **options)).encode()


def books(source, **options):
    return list(vantrel.replay(source, **options))


# --- zeroed blocks -------------------------------------------------------------------------------

def zeroed_start(data, blocks=1):
    return bytes(BLOCK * blocks) + data[BLOCK * blocks:]


@pytest.mark.parametrize("compression", ["plain", "gzip", "zstd"])
@pytest.mark.parametrize("where", ["recording", "compressed bytes"])
def test_zeroed_first_block_is_named_not_an_empty_archive(tmp_path, compression, where):
    text = recording_text()
    if where == "recording":
        data = compress(compression, zeroed_start(text))
    else:
        data = zeroed_start(compress(compression, text + text))
    path = tmp_path / "zeroed"
    path.write_bytes(data)
    with pytest.raises(vantrel.ReplayError, match="zero"):
        books(str(path))
    with pytest.raises(vantrel.ReplayError, match="zero"):
        vantrel.market_summaries(str(path))
    with pytest.warns(vantrel.SkippedRecordingWarning, match="zero"):
        assert books(str(path), errors="skip") == []


def test_zero_blocks_inside_a_tar_followed_by_members_are_named(tmp_path):
    text = recording_text()
    first = tar_bytes([("a.json", text)])
    # The end blocks of one archive, then the members of another: cat a.tar b.tar.
    joined = first + tar_bytes([("b.json", text)])
    path = tmp_path / "joined.tar"
    path.write_bytes(joined)
    with pytest.raises(vantrel.ReplayError, match="zero"):
        books(str(path))


@pytest.mark.parametrize("padding", [0, 1, 2, 20])
@pytest.mark.parametrize("compression", ["plain", "gzip"])
def test_end_blocks_with_only_zeros_after_end_the_archive(tmp_path, padding, compression):
    text = recording_text()
    members = io.BytesIO()
    with tarfile.open(fileobj=members, mode="w", format=tarfile.GNU_FORMAT) as tar:
        info = tarfile.TarInfo("a.json")
        info.size = len(text)
        tar.addfile(info, io.BytesIO(text))
    # tarfile pads to a record of 10240 bytes; the end may have any count of zero blocks.
    body = members.getvalue().rstrip(b"\0")
    body += bytes(-len(body) % BLOCK) + bytes(BLOCK * padding)
    path = tmp_path / "a.tar"
    path.write_bytes(compress(compression, body))
    assert len(books(str(path))) == len(books(text))


def test_all_zero_file_is_an_empty_archive(tmp_path):
    path = tmp_path / "empty.tar"
    path.write_bytes(bytes(BLOCK * 20))
    assert books(str(path)) == []
