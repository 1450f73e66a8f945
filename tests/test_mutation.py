"""A short run of the mutation harness (fuzz/mutate.py runs the long one), and the harness's own
checks shown to catch what they are for."""

import bz2
import sys
from pathlib import Path

import pytest

pytest.importorskip("pyarrow")
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fuzz"))

import mutate  # noqa: E402

from tools.recordings.archives import tar_bytes  # noqa: E402
from helpers.recordings import race  # noqa: E402


def test_a_short_run_finds_nothing():
    counts = mutate.run(inputs=150, seed=20_000, jobs=2, keep=None)
    found = {k: counts[k] for k in mutate.FINDINGS if counts[k]}
    assert counts["inputs"] == 150 and not found, found


def _recording(n):
    """The text of the `n`th member of _tar_with_members."""
    return race(f"1.80000000{n}", messages=12 + 4 * n, seed=n)


def _tar_with_members(tmp_path, compressed=False):
    """Three recordings of a market each in a plain tar: plain text, or bzip2 files as the
    exchange's archives hold them."""
    members = [(f"1.80000000{n}", _recording(n)) for n in range(3)]
    if compressed:
        members = [(f"{name}.bz2", bz2.compress(text)) for name, text in members]
    data = tar_bytes(members)
    base = mutate.Base("tar", data, mutate._tar_extents(data))
    path = tmp_path / "archive.tar"
    path.write_bytes(data)
    return base, path


def test_a_lost_good_member_is_a_finding(tmp_path):
    base, path = _tar_with_members(tmp_path)
    expected = mutate._expected(str(path))
    # Claim a member the archive does not hold: the harness must call it lost.
    ghost = ("ghost", "1.9", 1, None, 0.0, "OPEN")
    result = mutate.check_input(str(path), "tar", expected + [ghost], ["ghost"], (), False)
    assert any("silent loss" in f for f in result["findings"])


def test_a_damaged_header_leaves_the_other_members_good(tmp_path):
    base, path = _tar_with_members(tmp_path)
    expected = mutate._expected(str(path))
    _, (start, _) = base.members[1]
    damage = mutate.Damage(bytearray(base.data), [(start + 3, start + 4)], None)
    damage.data[start + 3] ^= 0x20
    good = mutate.good_members(base, damage)
    assert good == [base.members[0][0], base.members[2][0]]
    path.write_bytes(bytes(damage.data))
    result = mutate.check_input(str(path), "tar", expected, good, (1,), False)
    assert result["findings"] == []


@pytest.mark.parametrize("moved_from, kept", [(None, 3), (0, 0), ("second", 1)])
def test_moved_bytes_leave_only_the_members_before_them(tmp_path, moved_from, kept):
    base, _ = _tar_with_members(tmp_path)
    at = base.members[1][1][0] if moved_from == "second" else moved_from
    damage = mutate.Damage(base.data, [], at)
    assert len(mutate.good_members(base, damage)) == kept


@pytest.mark.parametrize("seed", range(12))
def test_an_attack_names_the_line_it_changed(seed):
    import random

    text = race("1.800000001", messages=12, seed=seed)
    attacked, attack = mutate.attack_text(text, random.Random(seed))
    before, after = text.splitlines(), attacked.split(b"\n")[:-1]
    kept = [line.rstrip(b"\r") for line in after if line.strip()]
    if attack.line is None:  # times rewritten, nothing else
        assert len(kept) == len(before) and kept != before
    else:  # counted as an editor counts lines, blank ones too
        changed = after[attack.line - 1].rstrip(b"\r")
        assert changed not in before
        kept.remove(changed)
        assert len(kept) == len(before) - 1 and all(line in before for line in kept)


@pytest.mark.parametrize("line, words", [(2, " at column "), (3, "publish time ")])
def test_a_misnamed_or_missing_error_is_a_finding(tmp_path, line, words):
    base, path = _tar_with_members(tmp_path)
    expected = mutate._expected(str(path))
    member = base.members[1][0]
    # The archive as it is, claimed to be attacked: every reader reads it, which is a loss.
    findings = mutate.check_attack(str(path), "tar", mutate.TextAttack("bad time", line, words, member),
                                   expected)
    assert any(f.startswith("silent loss") for f in findings)
    # A line damaged where the attack does not say: the error names another line.
    data = bytearray(base.data)
    text_at = data.index(_recording(1).splitlines()[line - 1])
    data[text_at + 5] = ord("}")
    path.write_bytes(bytes(data))
    findings = mutate.check_attack(str(path), "tar",
                                   mutate.TextAttack("damaged line", line + 1, words, member), expected)
    assert any(f.startswith("misnamed") for f in findings)


def test_junk_after_checksummed_data_read_without_a_word_is_a_finding(tmp_path):
    import gzip

    path = tmp_path / "padded.gz"
    text = race("1.800000009", messages=12, seed=9)
    path.write_bytes(gzip.compress(text) + bytes(64))  # zeros: read without a word, rightly
    expected = mutate._expected(str(path))
    padded = mutate.check_input(str(path), "gzip", expected, [], (), False, mutate.Attack("zeros"))
    assert padded["findings"] == []
    # Claimed to be junk, the same silence is what the check is for.
    junk = mutate.check_input(str(path), "gzip", expected, [], (), False, mutate.Attack("junk"))
    assert any("silent pass" in f for f in junk["findings"])


@pytest.mark.parametrize("rest", [0.0, 0.9], ids=["zeroed", "kept"])
def test_a_catalogue_reading_an_overwritten_member_is_a_finding(tmp_path, rest):
    import random

    import vantrel

    base, path = _tar_with_members(tmp_path, compressed=True)
    expected = mutate._expected(str(path))
    catalogue = vantrel.catalogue(str(path))

    class Roll(random.Random):  # the overwrite's one choice: zero the rest, or keep it
        def random(self):
            return rest

    damage = mutate.Damage(base.data, [], None)
    attacked = mutate._overwrite(base, damage, Roll())
    assert attacked is not None and damage.data != base.data
    untouched = mutate.check_input(str(path), "tar", expected, [], (), False, attacked, catalogue)
    assert untouched["findings"] == ["silent change: the catalogue read "
                                     f"{attacked.member}, overwritten in place",
                                     f"silent pass: the catalogue said nothing of "
                                     f"{attacked.member}, overwritten"]
    path.write_bytes(damage.data)
    good = mutate.good_members(base, damage)
    assert attacked.member not in good and len(good) == len(base.members) - 1
    result = mutate.check_input(str(path), "tar", expected, good, (1,), False, attacked, catalogue)
    assert result["findings"] == []
