"""Index files: round trips, read-only mappings, golden files, hostile files, crash safety."""
import copy
import json
import os
import pickle
import random
import signal
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import numpy as np
import pytest

import quillane
from quillane import CompactIndex, VectorIndex

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "tests" / "data"
FAMILIES = [pytest.param(lambda: CompactIndex(12, 4, 3), id="compact"),
            pytest.param(lambda: VectorIndex(12, 4, 4, 3), id="two-stage")]


def filled(make, n=60):
    index = make()
    x = np.random.default_rng(n).standard_normal((n, 12), dtype=np.float32)
    x[7::9] = x[0]  # ties
    index.add_batch(np.arange(n) * 2 + 1, x)
    return index


def same_answers(a, b):
    queries = np.random.default_rng(9).standard_normal((5, 12), dtype=np.float32)
    for k in (1, 7, 1000):
        ids_a, scores_a = a.search_batch(queries, k)
        ids_b, scores_b = b.search_batch(queries, k)
        assert (ids_a == ids_b).all() and scores_a.tobytes() == scores_b.tobytes()
        one_a, one_b = a.search(queries[0], k), b.search(queries[0], k)
        assert (one_a[0] == one_b[0]).all() and one_a[1].tobytes() == one_b[1].tobytes()
    return True


@pytest.mark.parametrize("make", FAMILIES)
@pytest.mark.parametrize("n", [0, 60])
@pytest.mark.parametrize("way", ["load", "mmap", "mmap-unverified", "bytes", "bytearray", "pickle", "deepcopy"])
def test_round_trips_answer_identically(tmp_path, make, n, way):
    index = filled(make, n) if n else make()
    path = tmp_path / "index.qli"
    index.save(path)
    cls = type(index)
    back = {
        "load": lambda: cls.load(str(path)),
        "mmap": lambda: cls.load(path, mmap=True),
        "mmap-unverified": lambda: cls.load(path, mmap=True, verify=False),
        "bytes": lambda: cls.from_bytes(index.to_bytes()),
        "bytearray": lambda: cls.from_bytes(bytearray(index.to_bytes())),
        "pickle": lambda: pickle.loads(pickle.dumps(index)),
        "deepcopy": lambda: copy.deepcopy(index),
    }[way]()
    assert type(back) is cls and len(back) == n
    assert back.to_bytes() == index.to_bytes() == path.read_bytes()
    if n:
        assert same_answers(index, back)


@pytest.mark.parametrize("make", FAMILIES)
def test_a_mapped_index_is_read_only_and_outlives_its_file(tmp_path, make):
    index = filled(make)
    path = tmp_path / "index.qli"
    index.save(path)
    mapped = type(index).load(path, mmap=True)
    for add in (lambda: mapped.add(1, np.zeros(12, np.float32)),
                lambda: mapped.add_batch(np.arange(1), np.zeros((1, 12), np.float32))):
        with pytest.raises(ValueError, match="memory-mapped from a file and read-only"):
            add()
    path.unlink()  # the mapping keeps the old file's pages
    filled(make, 5).save(path)  # a save renames a new file over the path
    assert len(mapped) == 60 and same_answers(index, mapped)
    copied = type(index).load(path)
    copied.add(99, np.ones(12, np.float32))
    assert len(copied) == 6


@pytest.mark.parametrize("name, cls", [("golden-compact.qli", CompactIndex), ("golden-two-stage.qli", VectorIndex)])
def test_golden_files_keep_loading_with_the_same_answers(tmp_path, name, cls):
    sys.path.insert(0, str(ROOT / "tools"))
    import gen_golden_index

    expected = json.loads((DATA / "golden-index-results.json").read_text())[name]
    for mmap in (False, True):
        index = cls.load(DATA / name, mmap=mmap)
        assert gen_golden_index.results(index, gen_golden_index.build(name)[1]) == expected
    # This library still writes them byte for byte.
    assert gen_golden_index.build(name)[0].to_bytes() == (DATA / name).read_bytes()


def rewritten(data: bytes, **fields) -> bytes:
    """The file with header fields changed and both checksums made valid again."""
    head = bytearray(data[:64])
    offsets = {"version": ("<H", 8), "family": ("<B", 10), "record_size": ("<I", 12), "dim": ("<Q", 16),
               "projections": ("<Q", 24), "count": ("<Q", 40)}
    for name, value in fields.items():
        fmt, at = offsets[name]
        struct.pack_into(fmt, head, at, value)
    body = data[64:]
    struct.pack_into("<I", head, 56, zlib.crc32(body))
    struct.pack_into("<I", head, 60, zlib.crc32(bytes(head[:60])))
    return bytes(head) + body


def answers_in_full(index, n, dim=12):
    """Whatever its records hold, a search gives min(k, n) entries a row."""
    queries = np.random.default_rng(3).standard_normal((2, dim), dtype=np.float32)
    for k in (3, n, n + 2):
        ids, scores = index.search_batch(queries, k)
        assert ids.shape == scores.shape == (2, min(k, n))
        assert len(index.search(queries[1], k)[0]) == min(k, n)


@pytest.mark.parametrize("make", FAMILIES)
def test_every_damaged_file_is_refused_with_a_reason(make):
    index = filled(make, 6)
    cls, other = type(index), (VectorIndex if type(index) is CompactIndex else CompactIndex)
    good = index.to_bytes()
    for size in range(len(good)):
        with pytest.raises(ValueError, match="not a valid index"):
            cls.from_bytes(good[:size])
    for at in range(len(good)):
        damaged = bytearray(good)
        damaged[at] ^= 1 << (at % 8)
        with pytest.raises(ValueError, match="not a valid index"):
            cls.from_bytes(bytes(damaged))
        try:  # without the body checksum: refused, or an index that searches safely
            cls.from_bytes(bytes(damaged), verify=False).search_batch(np.ones((2, 12), np.float32), 3)
        except ValueError:
            pass
    cases = [
        (b"NOTANIDX" + good[8:], "first 8 bytes are not"),
        (rewritten(good, version=3), "version 3 is newer than this library reads"),
        (rewritten(good, version=0), "version 0 is not one this library reads"),
        (good + b"\0", "1 bytes of trailing data"),
        (rewritten(good, count=2**61), "do not fit in"),
        (good[:-64], "truncated"),
        (rewritten(good, record_size=0), "record size 0 does not match"),
        (rewritten(good, record_size=5), "record size 5 does not match"),
        (rewritten(good, dim=0), "quantizer's integers are refused: dimension must be > 0"),
        (rewritten(good, family=9), "unknown code family 9"),
        (rewritten(good[:-1] + b"\1"), "padding byte"),
    ]
    for data, message in cases:
        with pytest.raises(ValueError) as info:
            cls.from_bytes(data)
        assert message in str(info.value)
    with pytest.raises(ValueError, match=f"not a {'compact' if other is CompactIndex else 'two-stage'} index"):
        other.from_bytes(good)


@pytest.mark.parametrize("cls", [CompactIndex, VectorIndex])
@pytest.mark.parametrize("way", ["read unverified", "mapped, then edited in place"])
def test_a_file_with_any_bit_flipped_still_answers_in_full(tmp_path, cls, way):
    index = cls(16, 4)
    index.add_batch(np.arange(3), np.random.default_rng(1).standard_normal((3, 16), dtype=np.float32))
    good, path = index.to_bytes(), tmp_path / "index.qli"
    index.save(path)
    mapped = cls.load(path, mmap=True)
    fd = os.open(path, os.O_WRONLY)
    try:
        for bit in range(64 * 8, len(good) * 8):
            at, flipped = bit // 8, good[bit // 8] ^ (1 << (bit % 8))
            if way == "read unverified":
                try:
                    answers_in_full(cls.from_bytes(good[:at] + bytes([flipped]) + good[at + 1:], verify=False), 3, 16)
                except ValueError:
                    pass
            else:
                os.pwrite(fd, bytes([flipped]), at)
                answers_in_full(mapped, 3, 16)
                os.pwrite(fd, good[at:at + 1], at)
    finally:
        os.close(fd)


REWRITER = """
import sys, time
good, path, until = open(sys.argv[1], "rb").read(), sys.argv[2], time.time() + 1.5
while time.time() < until:
    with open(path, "wb") as f:  # truncates, then writes in pieces
        for at in range(0, len(good), 4096):
            f.write(good[at:at + 4096])
            f.flush()
"""
LOADER = """
import sys, time, quillane
loaded = refused = 0
until = time.time() + 1.5
while time.time() < until:
    try:
        quillane.CompactIndex.load(sys.argv[1], mmap=False, verify=True)
        loaded += 1
    except (ValueError, OSError):
        refused += 1
print(loaded, refused)
"""


def test_a_copying_load_of_a_file_rewritten_meanwhile_fails_cleanly(tmp_path):
    source, path = tmp_path / "good.qli", tmp_path / "index.qli"
    filled(lambda: CompactIndex(12, 4, 3), 20_000).save(source)
    path.write_bytes(source.read_bytes())
    writer = subprocess.Popen([sys.executable, "-c", REWRITER, str(source), str(path)])
    loader = subprocess.run([sys.executable, "-c", LOADER, str(path)], capture_output=True, text=True, timeout=60)
    writer.wait(timeout=60)
    assert loader.returncode == 0, f"the loader died: {loader.returncode} {loader.stderr[-500:]}"
    assert sum(map(int, loader.stdout.split())) > 0


def test_paths_that_are_directories_long_names_or_links(tmp_path):
    for mmap in (False, True):
        with pytest.raises(IsADirectoryError):
            CompactIndex.load(tmp_path, mmap=mmap)
    index = filled(lambda: CompactIndex(12, 4, 3), 5)
    long = tmp_path / ("n" * 244)
    index.save(long)
    assert CompactIndex.load(long).to_bytes() == index.to_bytes()
    target, link = tmp_path / "v2.qli", tmp_path / "current.qli"
    target.write_bytes(b"old")
    link.symlink_to(target.name)
    index.save(link)  # written through the link: the link stays
    assert link.is_symlink() and target.read_bytes() == index.to_bytes()
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([long.name, target.name, link.name])


def test_file_errors_name_the_path(tmp_path):
    with pytest.raises(FileNotFoundError):
        CompactIndex.load(tmp_path / "missing.qli")
    with pytest.raises(FileNotFoundError):
        CompactIndex(4).save(tmp_path / "no" / "such" / "dir.qli")
    with pytest.raises(TypeError, match="argument 'path'"):
        CompactIndex(4).save(3.5)
    with pytest.raises(TypeError, match="argument 'data': expected bytes or bytearray"):
        CompactIndex.from_bytes(memoryview(b"x"))
    (tmp_path / "junk").write_bytes(b"hello")
    with pytest.raises(ValueError, match="junk' is not a valid index file: too short"):
        CompactIndex.load(tmp_path / "junk", mmap=True)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["junk"]


SAVER = """
import sys, numpy as np, quillane
def build(seed):
    index = quillane.CompactIndex(32, 4, 1)
    index.add_batch(np.arange(40_000), np.random.default_rng(seed).standard_normal((40_000, 32), dtype=np.float32))
    return index
if __name__ == "__main__":
    old, new = build(1), build(2)
    print("ready", flush=True)
    while True:
        new.save(sys.argv[1])
        old.save(sys.argv[1])
"""


def test_a_save_killed_at_any_moment_leaves_the_old_or_the_new_file(tmp_path):
    script = tmp_path / "saver.py"
    script.write_text(SAVER)
    sys.path.insert(0, str(tmp_path))
    import saver

    old, new = saver.build(1).to_bytes(), saver.build(2).to_bytes()
    path = tmp_path / "index.qli"
    path.write_bytes(old)
    rng, seen = random.Random(5), set()
    for _ in range(50):
        child = subprocess.Popen([sys.executable, str(script), str(path)], stdout=subprocess.PIPE)
        assert child.stdout.readline() == b"ready\n"
        try:
            child.wait(timeout=rng.uniform(0.0, 0.06))
        except subprocess.TimeoutExpired:
            child.send_signal(signal.SIGKILL)
        child.wait(timeout=30)
        child.stdout.close()
        found = CompactIndex.load(path).to_bytes()
        assert found in (old, new)
        seen.add(found == new)
    assert seen == {False, True}, "the kills never fell between two saves"


@pytest.mark.parametrize("make", [lambda: CompactIndex(8), lambda: quillane.IvfIndex(8, 2), lambda: quillane.GraphIndex(8)])
def test_an_index_says_whether_it_is_mapped(tmp_path, make):
    index = make()
    index.save(tmp_path / "index.qli")
    loaded = [type(index).load(tmp_path / "index.qli", mmap=m) for m in (False, True)]
    assert [index.mapped, loaded[0].mapped, loaded[1].mapped, pickle.loads(pickle.dumps(loaded[1])).mapped] == [
        False, False, True, False]
