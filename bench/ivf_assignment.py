"""Recall@10 of IvfIndex (8 bits, 128 lists) at 1 to 16 probes on the real and clustered sets.

Run against a build of each rule to compare them: commit 4bc2cd9 assigns each row to its
nearest centroid; 3bb2456 to the centroid of highest inner product, centroids the means of
their rows; later commits rescale each mean to the mean norm of its rows.
"""
import sys, numpy as np, quillane
sys.path.insert(0,'/work/main/bench'); sys.path.insert(0,'/work/main/examples')
from embeddings import minilm_tokens
from demo import clustered_data
for name in ('real','synth'):
    if name=='real':
        x=minilm_tokens(); x/=np.linalg.norm(x,axis=1,keepdims=True); x=x.astype(np.float32)
    else:
        x=clustered_data(60000,256,1)
    rng=np.random.default_rng(5); perm=rng.permutation(len(x)); q=x[perm[:500]]; base=x[perm[500:]]
    gt=np.argsort(-(q@base.T),axis=1)[:,:10]
    ivf=quillane.IvfIndex(base.shape[1],128,bits=8,seed=1); ivf.train(base); ivf.add_batch(np.arange(len(base)),base)
    out=[]
    for probes in (1,2,4,8,16):
        ids,_=ivf.search_batch(q,10,probes=probes)
        out.append(f"{probes}:{np.mean([len(set(ids[i])&set(gt[i]))/10 for i in range(len(q))]):.3f}")
    print(name, ' '.join(out), flush=True)
