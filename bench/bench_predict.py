"""Inference postprocess: halcyra.infer.predict.postprocess against the eager
formulation (bench/ref_predict.py): 4 images at 640 input, with masks on the
coarse path and on the refine path, and 8 images of 80 classes without masks
(1,500 to 1,800 candidates per image, 300 detections). Outputs are checked
equal (torch.equal on every tensor) before timing."""
import functools
import os
import sys
import time

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


class Recorder:
    """Stands in for a refine head and records the arguments of its calls."""

    def __init__(self, head):
        self.head, self.roi, self.calls = head, head.roi, []

    def sanitize(self, *args):
        return self.head.sanitize(*args)

    def __call__(self, *args):
        self.calls.append(args)
        return self.head(*args)


def head_time(p, head, kw, repeat, warmup):
    """Eager and our postprocess with `head`, less the head's own forward: the
    three (eager, ours, the head alone on the arguments it gets in one call)
    timed one after the other, and the medians of the two differences.
    Returns (eager_ms, ours_ms)."""
    rec = Recorder(head)
    ref.postprocess(p, refine=rec, **kw)
    fns = (lambda: ref.postprocess(p, refine=head, **kw), lambda: P.postprocess(p, refine=head, **kw),
           lambda: [head(*a) for a in rec.calls])
    for _ in range(warmup):
        for fn in fns:
            fn()
    diffs = ([], [])
    for _ in range(repeat):
        t = []
        for fn in fns:
            t0 = time.perf_counter()
            fn()
            t.append((time.perf_counter() - t0) * 1e3)
        diffs[0].append(t[0] - t[2])
        diffs[1].append(t[1] - t[2])
    return tuple(sorted(d)[len(d) // 2] for d in diffs)


_PEAK = """
import sys
sys.path.insert(0, {root!r})
import torch
torch.set_num_threads({threads})
from bench import ref_predict
from bench.bench_predict import make_preds
from halcyra.infer import predict as P

def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key + ":"):
            return int(line.split()[1]) * 1024

preds = {{k: v for k, v in make_preds().items() if k != "f2"}}
small = {{k: (v[:1] if isinstance(v, torch.Tensor) else v) for k, v in preds.items()}}
P.postprocess(small, num_kpts=17, n_pline=16)   # one-time calibrations
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")                                 # peak resident size := current
before = status("VmRSS")
out = P.postprocess(preds, num_kpts=17, n_pline=16)
print(status("VmHWM") - before, sum(r["masks"].numel() for r in out))
"""


@functools.lru_cache(maxsize=None)
def coarse_peak(fn="P.postprocess"):
    """Peak memory of one coarse-mask postprocess (MiB, and over its boolean
    output), one thread, in a fresh process: the growth of the resident set
    during the call."""
    import subprocess
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    code = _PEAK.format(root=root, threads=1).replace("P.postprocess(preds", fn + "(preds")
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    grown, size = (int(v) for v in res.stdout.split())
    return grown / 2**20, grown / size


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
    peak_mb, peak_ratio = coarse_peak()
    for name, p, h in [("boxes, kpts, plines", base, None),
                       (f"coarse masks (peak {peak_ratio:.2f}x output)", coarse, None),
                       ("refine masks (pooling head)", preds, PoolHead()),
                       ("refine masks (RefineHead)", preds, head)]:
        got = P.postprocess(p, refine=h, **kw)
        check(got, ref.postprocess(p, refine=h, **kw))
        n = sum(r["boxes"].shape[0] for r in got)
        rows.append(row(f"postprocess 4x640 {name}, {n} det",
                        *compare(lambda: ref.postprocess(p, refine=h, **kw),
                                 lambda: P.postprocess(p, refine=h, **kw), repeat, warmup),
                        peak_mb if name.startswith("coarse") else None))
    # The refine path without the time inside the head's forward (a head of one
    # channel, so that its own time is small and subtracts cleanly).
    narrow = dict(preds, f2=preds["f2"][:, :1].contiguous())
    torch.manual_seed(0)
    small = RefineHead(in_ch=1, hidden=1).eval()
    with torch.no_grad():
        small.out.weight.fill_(1.0)
    got = P.postprocess(narrow, refine=small, **kw)
    check(got, ref.postprocess(narrow, refine=small, **kw))
    rows.append(row("postprocess 4x640 refine masks (RefineHead), without its forward",
                    *head_time(narrow, small, kw, repeat, warmup)))
    return rows


def split(threads=1):
    """Where the time of the refine path goes, eager and ours (torch.profiler,
    self time per region, one call each): coarse logits, canvas, paste, head."""
    from torch.profiler import profile
    torch.set_num_threads(threads)
    preds = make_preds()
    preds["f2"] = preds["f2"][:, :1].contiguous()
    torch.manual_seed(0)
    head = RefineHead(in_ch=1, hidden=1).eval()
    with torch.no_grad():
        head.out.weight.fill_(1.0)
    kw = dict(num_kpts=17, n_pline=16, refine=head)
    groups = {"coarse logits": ("aten::mm", "halcyra::coarse_blocks", "halcyra::coarse_product"),
              "canvas": ("aten::fill_", "aten::zero_", "halcyra::clear_outside"),
              "paste": ("aten::upsample_bilinear2d", "aten::sigmoid", "aten::sigmoid_", "aten::gt",
                        "aten::copy_", "aten::slice", "aten::select", "aten::index",
                        "halcyra::paste_region"),
              "head": ("torchvision::roi_align", "aten::mkldnn_convolution", "aten::clamp_min",
                       "aten::cat", "aten::nan_to_num")}
    for name, fn in (("eager", lambda: ref.postprocess(preds, **kw)),
                     ("ours", lambda: P.postprocess(preds, **kw))):
        fn()
        with profile() as prof:
            t0 = time.perf_counter()
            fn()
            total = (time.perf_counter() - t0) * 1e3
        self_ms = {e.key: e.self_cpu_time_total / 1e3 for e in prof.key_averages()}
        parts = {g: sum(self_ms.get(k, 0.0) for k in keys) for g, keys in groups.items()}
        print(f"{name:>5} @{threads}: total {total:.1f} ms, "
              + ", ".join(f"{g} {v:.1f}" for g, v in parts.items())
              + f", rest {total - sum(parts.values()):.1f}")


if __name__ == "__main__":
    if "--split" in sys.argv:
        for n in (1, 2):
            split(n)
    else:
        main(run, "halcyra.infer.predict")
