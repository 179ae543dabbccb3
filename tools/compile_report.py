"""Graph breaks and graphs of torch.compile (torch 2.x) around halcyra, for
the ways users compile it: a model holding HRNeckLite (the demo's, and the
neck alone with fullgraph=True), a training step through MultiTaskCriterion,
the assigner, a function of the decode functions, and inference with
postprocess. Also checks each against eager mode (with oneDNN off where
torch's convolutions were found wrong on this machine: halcyra._torchcheck).

Usage: /usr/bin/python3 tools/compile_report.py [--backend inductor]
"""
import argparse
import collections
import os
import sys

import torch
import torch._dynamo
from torch._dynamo.utils import counters

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
sys.path.insert(0, os.path.join(ROOT, "examples"))

import demo  # noqa: E402
import demo_data as data  # noqa: E402
from demo_model import DemoDetector  # noqa: E402
from halcyra import _torchcheck  # noqa: E402
from halcyra.infer import decode as D  # noqa: E402
from halcyra.infer.predict import postprocess  # noqa: E402
from halcyra.losses.assigner import assign  # noqa: E402
from halcyra.losses.losses import MultiTaskCriterion  # noqa: E402
from halcyra.models.neck import HRNeckLite  # noqa: E402

SIZE = 128


def maxdiff(got, want):
    """Largest absolute and relative difference over pairs of tensors."""
    a = r = 0.0
    for g, w in zip(got, want):
        d = (g.double() - w.double()).abs()
        if d.numel():
            a = max(a, d.max().item())
            r = max(r, (d / w.double().abs().clamp_min(1e-6)).max().item())
    return f"max abs diff {a:.2e}, max rel diff {r:.2e}"


def report(name, fn, check):
    torch._dynamo.reset()
    counters.clear()
    diff = check(fn)
    breaks = collections.Counter()
    for reason, n in counters["graph_break"].items():
        breaks[reason.split(" [")[0][:90]] += n
    print(f"{name}: {sum(breaks.values())} graph breaks, "
          f"{counters['stats']['unique_graphs']} graphs; against eager: {diff}")
    for reason, n in breaks.most_common():
        print(f"    {n} x {reason}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--backend", default="inductor")
    backend = ap.parse_args().backend
    torch.manual_seed(0)
    ls = data.LabelSpace()
    model = DemoDetector(nc=ls.num_categories, num_kpts=data.NUM_KPTS, n_pline=data.N_PLINE,
                         num_tags=len(data.TAG_NAMES))
    crit = MultiTaskCriterion(demo.model_config(SIZE), ls, refine=model.refine)
    ds = data.SynthDataset(2, seed=1, split="train", size=SIZE)
    images, batch = data.collate([ds[0], ds[1]])

    def model_check(fn):
        model.eval()
        with torch.no_grad():
            got, want = torch.compile(model, backend=backend)(images), model(images)
        return maxdiff([got[k] for k in want if torch.is_tensor(want[k])],
                       [want[k] for k in want if torch.is_tensor(want[k])])
    report("model with HRNeckLite (eval)", model, model_check)

    neck = HRNeckLite()
    ys = [torch.randn(2, c, SIZE // s, SIZE // s)
          for c, s in [(64, 2), (18, 4), (36, 8), (72, 16), (144, 32)]]

    def neck_check(fn):
        out = []
        for f in (fn, torch.compile(fn, backend=backend, fullgraph=True)):
            neck.zero_grad(set_to_none=True)
            r = f(ys)
            sum(v.square().mean() for v in r.values()).backward()
            out.append(list(r.values()) + [p.grad for p in neck.parameters()])
        return f"outputs and gradients (training mode, fullgraph=True): {maxdiff(out[1], out[0])}"
    report("HRNeckLite forward + backward", neck.train(), neck_check)

    def assigned(batch, pred, scores):
        points, strides = D.make_anchors([(SIZE // s, SIZE // s) for s in (8, 16, 32)])
        boxes = D.decode_boxes(pred, points, strides, demo.BOX_OFFSET)
        return assign(scores, boxes, points, batch["gt_boxes"], batch["gt_cls"],
                      batch["gt_valid"], None, strides=strides)

    def assign_check(fn):
        a = sum((SIZE // s) ** 2 for s in (8, 16, 32))
        args = (batch, torch.randn(len(batch["gt_boxes"]), a, 4),
                torch.rand(len(batch["gt_boxes"]), a, ls.num_categories))
        got = torch.compile(fn, backend=backend, fullgraph=True)(*args)
        same = all(torch.equal(g, w) for g, w in zip(got, fn(*args)))
        return f"results {'identical' if same else 'differ'} (fullgraph=True)"
    report("assign (with make_anchors + decode_boxes)", assigned, assign_check)

    def step(images, batch):
        total, stats = crit(model(images), batch)
        total.backward()
        return total.detach()

    def step_check(fn):
        model.train()
        state = {k: v.clone() for k, v in model.state_dict().items()}
        out = []
        for f in (fn, torch.compile(fn, backend=backend)):
            model.zero_grad(set_to_none=True)
            torch.manual_seed(5)
            out.append((f(images, batch), [p.grad.clone() for p in model.parameters()
                                           if p.grad is not None]))
            model.load_state_dict(state)
        (t0, g0), (t1, g1) = out
        return f"loss {maxdiff([t1], [t0])}, gradients {maxdiff(g1, g0)}"
    report("training step with MultiTaskCriterion", step, step_check)

    def decode(box_raw, kpt_raw):
        points, strides = D.make_anchors([(16, 16), (8, 8), (4, 4)])
        return (D.decode_boxes(box_raw, points, strides, 0.5),
                D.decode_points(kpt_raw, points, strides, 4))

    def decode_check(fn):
        a = 16 * 16 + 8 * 8 + 16
        args = torch.randn(2, a, 4), torch.randn(2, a, 8)
        return maxdiff(torch.compile(fn, backend=backend)(*args), fn(*args))
    report("make_anchors + decode_boxes + decode_points", decode, decode_check)

    def infer(preds):
        dets = postprocess(preds, conf_thres=0.001, num_kpts=data.NUM_KPTS, n_pline=data.N_PLINE,
                           input_size=SIZE, refine=model.refine, box_offset=demo.BOX_OFFSET)
        return dets, torch.stack([d["scores"].sum() for d in dets])

    def infer_check(fn):
        model.eval()
        with torch.no_grad():
            preds = model(images)
            (got, gs), (want, ws) = torch.compile(fn, backend=backend)(preds), fn(preds)
        same = all(list(g) == list(w) and all(torch.equal(g[k], w[k]) for k in w)
                   for g, w in zip(got, want))
        return f"detections {'identical' if same else 'differ'}, score sums {maxdiff([gs], [ws])}"
    report("postprocess inside a compiled function", infer, infer_check)


if __name__ == "__main__":
    # The comparisons against eager rely on torch's own convolutions: where the
    # check finds them wrong, both sides run with oneDNN off (and it says so).
    verdict = _torchcheck.check()
    print(verdict.message)
    if not verdict.sound:
        print("comparisons against eager run with oneDNN off")
    with _torchcheck.sound_convolutions():
        main()
