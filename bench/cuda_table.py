"""Timing table on one device (the GPU check, tools/cuda_check.sh): postprocess
and the criterion step, the eager formulations of bench/ref_*.py against ours.

    bench/cuda_table.py [--device cuda|cpu] [--tiny] [--repeat N] [--json PATH]

Rows: postprocess of B 8 images at 640 input, 80 classes, conf_thres 0.05
(about 1,750 candidates per image, 300 detections each) without masks, with
coarse masks and with RefineHead masks; the criterion's forward+backward with
detection only and with every task (refine head, keypoints, polylines, tags),
both criteria fed the same fixed assigner results; the assigner on the same
batch. Each call is timed between torch.cuda.synchronize() calls (on a CUDA
device), eager and ours alternately, median of the repetitions; ratio = eager
/ ours. Before timing, the two outputs are compared (tolerances of
floating-point reassociation on the GPU; a mask may differ in a few pixels
where a probability lies at the threshold): a row whose outputs disagree is
marked and the exit status is 1.

--tiny: batch 1 (criterion: 2) and one repetition, so that the whole script
runs on the CPU in about a minute (cuda_check.sh --cpu-dry-run).
"""
import argparse
import json
import os
import sys

import torch

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from bench import ref_losses, ref_predict  # noqa: E402
from bench.bench_losses import (LEAVES, NC, SHAPES, _LabelSpace, add_tasks,  # noqa: E402
                                eager_assign, fixed_assigner, make_inputs)
from bench.bench_losses_tasks import TinyHead  # noqa: E402
from bench.bench_predict import make_dense  # noqa: E402
from bench.common import compare, row  # noqa: E402
from halcyra.infer import predict as P  # noqa: E402
from halcyra.infer.decode import decode_boxes, make_anchors  # noqa: E402
from halcyra.losses import assigner as AS  # noqa: E402
from halcyra.losses import losses as L  # noqa: E402
from halcyra.models.refine import RefineHead  # noqa: E402

# Share of mask pixels that may differ between the two postprocesses.
MASK_PIXELS = 1e-4
# Relative tolerance of losses and gradients (the GPU's reductions and atomic
# accumulations add in another order than the CPU's).
LOSS_RTOL = 1e-4


def to(obj, device):
    return {k: (v.to(device) if torch.is_tensor(v) else v) for k, v in obj.items()}


def predict_inputs(b, device, seed=0):
    """make_dense's 80-class outputs plus mask coefficients, prototypes (32 on
    the 320 x 320 grid) and f2 (96 channels) for the refine head."""
    preds = make_dense(b=b, seed=seed)
    g = torch.Generator().manual_seed(seed + 1)
    a = preds["cls_raw"].shape[1]
    preds.update(coef=torch.randn(b, a, 32, generator=g),
                 protos=torch.randn(b, 32, 320, 320, generator=g),
                 f2=torch.randn(b, 96, 320, 320, generator=g))
    return to(preds, device)


def detections_differ(got, want):
    """None when two postprocess results agree, else what differs."""
    if len(got) != len(want):
        return f"{len(got)} images, eager {len(want)}"
    for i, (g, w) in enumerate(zip(got, want)):
        if list(g) != list(w):
            return f"image {i}: keys {list(g)}, eager {list(w)}"
        if g["boxes"].shape != w["boxes"].shape:
            return f"image {i}: {g['boxes'].shape[0]} detections, eager {w['boxes'].shape[0]}"
        for k in g:
            a, e = g[k], w[k]
            if a.shape != e.shape or a.dtype != e.dtype:
                return (f"image {i} {k}: {tuple(a.shape)} {a.dtype}, "
                        f"eager {tuple(e.shape)} {e.dtype}")
            if k == "masks":
                off = (a != e).sum().item() / max(a.numel(), 1)
                if off > MASK_PIXELS:
                    return f"image {i} masks: {off:.2e} of the pixels differ"
            elif a.is_floating_point():
                try:
                    torch.testing.assert_close(a, e)
                except AssertionError as exc:
                    return f"image {i} {k}: {str(exc).splitlines()[0]}"
            elif not torch.equal(a, e):
                return f"image {i} {k}: values differ"
    return None


def losses_differ(ours, eager):
    """None when two (stats, gradients) pairs agree within LOSS_RTOL."""
    (s1, g1), (s2, g2) = ours, eager
    if list(s1) != list(s2):
        return f"stats {list(s1)}, eager {list(s2)}"
    pairs = [(f"stats {k}", s1[k], s2[k], 1e-6) for k in s1]
    pairs += [(f"grad {k}", g1[k], g2[k], 1e-5 * float(g2[k].abs().max())) for k in g1]
    for name, a, e, atol in pairs:
        try:
            torch.testing.assert_close(a, e, rtol=LOSS_RTOL, atol=atol)
        except AssertionError as exc:
            return f"{name}: {str(exc).splitlines()[0]}"
    return None


def step(crit, preds, batch):
    """One criterion step: forward and backward on fresh leaves. Returns
    (stats, gradients of the leaves)."""
    p = dict(preds)
    leaves = {k: preds[k].detach().requires_grad_() for k in LEAVES if k in preds}
    p.update(leaves)
    torch.manual_seed(0)            # the mask loss's random cap
    total, stats = crit(p, batch)
    total.backward()
    return stats, {k: v.grad for k, v in leaves.items()}


def postprocess_rows(device, b, repeat, warmup):
    preds = predict_inputs(b, device)
    base = {k: v for k, v in preds.items() if k not in ("coef", "protos", "f2")}
    coarse = {k: v for k, v in preds.items() if k != "f2"}
    torch.manual_seed(0)
    head = RefineHead().eval().to(device)
    kw = dict(conf_thres=0.05, num_kpts=17, n_pline=16, box_offset=0.5)
    rows = []
    for name, p, h in [("no masks", base, None), ("coarse masks", coarse, None),
                       ("RefineHead masks", preds, head)]:
        got = P.postprocess(p, refine=h, **kw)
        diff = detections_differ(got, ref_predict.postprocess(p, refine=h, **kw))
        n = sum(r["boxes"].shape[0] for r in got)
        r = row(f"postprocess B{b} 640 80 cls, {name}, {n} det",
                *compare(lambda: ref_predict.postprocess(p, refine=h, **kw),
                         lambda: P.postprocess(p, refine=h, **kw), repeat, warmup))
        rows.append(dict(r, check=diff or "agree"))
        del got
    return rows


def criterion_rows(device, b, repeat, warmup):
    preds, batch = make_inputs(device, B=b)
    cfg = {"nc": NC, "box_offset": 0.5}
    fixed = fixed_assigner(preds, batch, cfg)
    saved = L.assign
    L.assign = fixed
    rows = []
    try:
        tcfg = {**cfg, "tasks": {"keypoint": {"enabled": True, "num_kpts": 17},
                                 "polyline": {"enabled": True, "n_points": 16}}}
        head = TinyHead().to(device)
        tp, tb = add_tasks(preds, batch)
        for name, c, p, bt, kw in [("detection", cfg, preds, batch, {}),
                                   ("all tasks", tcfg, tp, tb, {"refine": head})]:
            ours = L.MultiTaskCriterion(c, _LabelSpace(), **kw).to(device)
            eager = ref_losses.RefCriterion(c, _LabelSpace(), assign_fn=fixed, **kw).to(device)
            diff = losses_differ(step(ours, p, bt), step(eager, p, bt))
            r = row(f"criterion forward+backward B{b}, {name}",
                    *compare(lambda: step(eager, p, bt), lambda: step(ours, p, bt), repeat, warmup))
            rows.append(dict(r, check=diff or "agree"))
    finally:
        L.assign = saved
    pts, st = make_anchors(SHAPES, device=device)
    pb = decode_boxes(preds["box_raw"], pts, st, offset=0.5)
    args = (preds["cls_raw"].sigmoid(), pb, pts, batch["gt_boxes"], batch["gt_cls"],
            batch["gt_valid"], batch["gt_ignore"])
    a1, a2 = AS.assign(*args, strides=st), eager_assign(*args, strides=st)
    diff = None
    if not (torch.equal(a1[0], a2[0]) and torch.equal(a1[4], a2[4])):
        diff = "foreground or ignore masks differ"
    else:
        try:
            torch.testing.assert_close(a1[3], a2[3])
        except AssertionError as exc:
            diff = f"target scores: {str(exc).splitlines()[0]}"
    r = row(f"assign B{b}, 8400 anchors, nc {NC}",
            *compare(lambda: eager_assign(*args, strides=st), lambda: AS.assign(*args, strides=st),
                     repeat, warmup))
    rows.append(dict(r, check=diff or "agree"))
    return rows


def format_table(rows, title):
    head = f"{'entry':<56} {'eager ms':>10} {'ours ms':>10} {'ratio':>7}  check"
    lines = [title, head, "-" * len(head)]
    for r in rows:
        lines.append(f"{r['entry']:<56} {r['eager_ms']:>10.3f} {r['ours_ms']:>10.3f} "
                     f"{r['ratio']:>7.2f}  {r['check']}")
    return "\n".join(lines)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--device", default="cuda" if torch.cuda.is_available() else "cpu")
    ap.add_argument("--tiny", action="store_true", help="batch 1 (criterion 2), one repetition")
    ap.add_argument("--repeat", type=int, default=None, help="timed repetitions per row")
    ap.add_argument("--json", help="also write the rows to this file")
    a = ap.parse_args(argv)
    device = torch.device(a.device)
    if device.type == "cuda" and not torch.cuda.is_available():
        sys.exit("cuda_table: no CUDA device")
    repeat = a.repeat or (1 if a.tiny else 20)
    warmup = 0 if a.tiny else 3
    pb, cb = (1, 2) if a.tiny else (8, 8)
    rows = postprocess_rows(device, pb, repeat, warmup) + criterion_rows(device, cb, repeat, warmup)
    name = torch.cuda.get_device_name(device) if device.type == "cuda" else "cpu"
    sync = ", each call between synchronizes" if device.type == "cuda" else ""
    title = (f"halcyra on {name} (torch {torch.__version__}, median of {repeat}{sync}); "
             f"ratio = eager / ours")
    print(format_table(rows, title))
    if a.json:
        with open(a.json, "w") as f:
            json.dump({"device": name, "torch": torch.__version__, "repeat": repeat,
                       "rows": rows}, f, indent=1)
    bad = [r for r in rows if r["check"] != "agree"]
    for r in bad:
        print(f"DISAGREE {r['entry']}: {r['check']}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
