"""Anchors and decoding: halcyra.infer.decode against the eager formulation."""
import os
import sys

import torch

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from bench import ref_decode as ref  # noqa: E402
from bench.common import compare, main, row  # noqa: E402
from halcyra.infer import decode as D  # noqa: E402

SHAPES = [(80, 80), (40, 40), (20, 20)]   # 640 x 640 input, 8400 anchors


def run(quick=False):
    repeat = 10 if quick else 50
    torch.manual_seed(0)
    pts, st = D.make_anchors(SHAPES)
    raw = torch.randn(8, pts.shape[0], 4)
    praw = torch.randn(8, pts.shape[0], 34)
    maps = [torch.randn(8, 64, h, w) for h, w in SHAPES]
    for offset in (0.0, 0.5):
        assert torch.allclose(D.decode_boxes(raw, pts, st, offset=offset),
                              ref.decode_boxes(raw, pts, st, offset), rtol=1e-6, atol=1e-4)
    assert torch.equal(D.decode_points(praw, pts, st, 17), ref.decode_points(praw, pts, st, 17))
    assert all(torch.equal(a, b) for a, b in zip(D.make_anchors(SHAPES), ref.make_anchors(SHAPES)))
    return [
        row("make_anchors (3 levels, 8400)",
            *compare(lambda: ref.make_anchors(SHAPES), lambda: D.make_anchors(SHAPES), repeat)),
        row("flatten_preds (8x64, 3 levels)",
            *compare(lambda: [ref.flatten_preds(m) for m in maps],
                     lambda: [D.flatten_preds(m) for m in maps], repeat)),
        row("decode_boxes (8x8400, offset 0.5)",
            *compare(lambda: ref.decode_boxes(raw, pts, st, 0.5),
                     lambda: D.decode_boxes(raw, pts, st, offset=0.5), repeat)),
        row("decode_points (8x8400, n=17)",
            *compare(lambda: ref.decode_points(praw, pts, st, 17),
                     lambda: D.decode_points(praw, pts, st, 17), repeat)),
    ]


if __name__ == "__main__":
    main(run, "halcyra.infer.decode")
