"""Inference postprocess: halcyra.infer.predict.postprocess against the eager
formulation (bench/ref_predict.py): 4 images at 640 input, with masks on the
coarse path and on the refine path, and 8 images of 80 classes without masks
(1,500 to 1,800 candidates per image, 300 detections). Outputs are checked
equal (torch.equal on every tensor) before timing."""
import os
import sys

import torch

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from bench import ref_predict as ref  # noqa: E402
from bench.common import compare, main, row  # noqa: E402
from halcyra.infer import predict as P  # noqa: E402
from halcyra.models.refine import RefineHead  # noqa: E402

SHAPES = [(80, 80), (40, 40), (20, 20)]   # 640 x 640 input, 8400 anchors


def make_preds(b=4, nc=10, p=32, objects=60, seed=0):
    """Raw outputs with about `objects` confident anchors per image."""
    g = torch.Generator().manual_seed(seed)
    a = sum(h * w for h, w in SHAPES)
    cls = torch.randn(b, a, nc, generator=g) - 6.0
    for i in range(b):
        hot = torch.randperm(a, generator=g)[:objects]
        cls[i, hot, torch.randint(0, nc, (objects,), generator=g)] = 2.0 + torch.rand(objects, generator=g)
    return {"feat_shapes": SHAPES, "cls_raw": cls,
            "box_raw": torch.randn(b, a, 4, generator=g) * 0.5 + 1.5,
            "coef": torch.randn(b, a, p, generator=g), "protos": torch.randn(b, p, 320, 320, generator=g),
            "f2": torch.randn(b, 96, 320, 320, generator=g),
            "kpt_raw": torch.randn(b, a, 51, generator=g), "pline_raw": torch.randn(b, a, 32, generator=g)}


class PoolHead(torch.nn.Module):
    """A near-free refine head (pooled coarse logits), so that the refine row
    measures the postprocess's own region work rather than a network."""
    roi = 28

    def sanitize(self, boxes, size, stride):
        return boxes.clamp(0, size[1] * stride)

    def forward(self, f2, coarse, boxes, bidx, stride):
        return torch.nn.functional.adaptive_avg_pool2d(coarse[:, None], 28)[:, 0]


def make_dense(b=8, nc=80, seed=0):
    """Raw outputs of an 80-class model at a low threshold: about 1,750
    candidates per image at conf_thres 0.05, keypoints, polylines and tags."""
    g = torch.Generator().manual_seed(seed)
    a = sum(h * w for h, w in SHAPES)
    return {"feat_shapes": SHAPES, "cls_raw": torch.randn(b, a, nc, generator=g) - 5.7,
            "box_raw": torch.randn(b, a, 4, generator=g) * 0.5 + 1.5,
            "kpt_raw": torch.randn(b, a, 51, generator=g), "pline_raw": torch.randn(b, a, 32, generator=g),
            "tag_logits": torch.randn(b, 10, generator=g)}


def check(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert list(g) == list(w)
        for k in g:
            assert torch.equal(g[k], w[k]), k


def run(quick=False):
    repeat, warmup = (2, 1) if quick else (5, 1)
    preds = make_preds()
    base = {k: preds[k] for k in ("feat_shapes", "cls_raw", "box_raw", "kpt_raw", "pline_raw")}
    coarse = {k: v for k, v in preds.items() if k != "f2"}
    torch.manual_seed(0)
    head = RefineHead().eval()
    kw = dict(num_kpts=17, n_pline=16)
    rows = []
    dense = make_dense()
    dkw = dict(conf_thres=0.05, num_kpts=17, n_pline=16, box_offset=0.5)
    got = P.postprocess(dense, **dkw)
    check(got, ref.postprocess(dense, **dkw))
    n = sum(r["boxes"].shape[0] for r in got)
    rows.append(row(f"postprocess 8x640 80 cls, no masks, {n} det",
                    *compare(lambda: ref.postprocess(dense, **dkw),
                             lambda: P.postprocess(dense, **dkw), repeat, warmup)))
    for name, p, h in [("boxes, kpts, plines", base, None), ("coarse masks", coarse, None),
                       ("refine masks (pooling head)", preds, PoolHead()),
                       ("refine masks (RefineHead)", preds, head)]:
        got = P.postprocess(p, refine=h, **kw)
        check(got, ref.postprocess(p, refine=h, **kw))
        n = sum(r["boxes"].shape[0] for r in got)
        rows.append(row(f"postprocess 4x640 {name}, {n} det",
                        *compare(lambda: ref.postprocess(p, refine=h, **kw),
                                 lambda: P.postprocess(p, refine=h, **kw), repeat, warmup)))
    return rows


if __name__ == "__main__":
    main(run, "halcyra.infer.predict")
