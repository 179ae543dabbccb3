"""Per-task criterion losses: the compiled methods of MultiTaskCriterion against
the eager formulation of bench/ref_losses_tasks.py (same inputs, same seeds).
Usage: bench_losses_tasks.py [--quick]"""
import os
import sys

import torch

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from bench import ref_losses_tasks as ref  # noqa: E402
from bench.common import compare, main, row  # noqa: E402
from halcyra.losses import losses as L  # noqa: E402


class TinyHead(torch.nn.Module):
    """Stand-in refine head: pools the coarse logits to roi x roi and scales them."""
    roi = 28

    def __init__(self):
        super().__init__()
        self.w = torch.nn.Parameter(torch.ones(()))

    def sanitize(self, boxes, size, stride):
        return boxes

    def forward(self, f2, coarse, boxes, bidx, stride):
        return torch.nn.functional.adaptive_avg_pool2d(coarse[:, None], self.roi)[:, 0] * self.w


class LabelSpace:
    num_categories = 4
    categories = [{"is_polyline": i == 3} for i in range(4)]


def mask_inputs(B=8, inst=40, per_inst=10, P=32, S=320, seed=0):
    """B images with `inst` objects each, `per_inst` positive anchors per object,
    prototypes P x S x S (a 640 input at mask stride 2)."""
    g = torch.Generator().manual_seed(seed)
    A = 8400
    preds = dict(coef=torch.randn(B, A, P, generator=g).requires_grad_(),
                 protos=torch.randn(B, P, S, S, generator=g).requires_grad_())
    xy = torch.rand(B, inst, 2, generator=g) * 560
    wh = 16 + torch.rand(B, inst, 2, generator=g) * 160
    batch = dict(mask_valid=torch.ones(B, inst, dtype=torch.bool), has_polygon=torch.ones(B, dtype=torch.bool),
                 gt_masks=(torch.rand(B, inst, S, S, generator=g) > 0.5).to(torch.uint8),
                 gt_boxes=torch.cat([xy, xy + wh], -1))
    n = B * inst * per_inst
    fg_b = torch.arange(B).repeat_interleave(inst * per_inst)
    fg_g = torch.arange(inst).repeat_interleave(per_inst).repeat(B)
    fg_a = torch.randint(0, A, (n,), generator=g)
    return preds, batch, (fg_b, fg_a, fg_g)


def timed_pair(crit, preds, batch, fg, backward, repeat):
    def total(c, r):
        return c if r is None else c + r

    def ours():
        torch.manual_seed(1)
        loss = total(*crit._mask_loss(preds, batch, *fg))
        if backward:
            loss.backward()

    def eager():
        torch.manual_seed(1)
        loss = total(*ref.mask_loss(crit, preds, batch, *fg))
        if backward:
            loss.backward()

    return compare(eager, ours, repeat)


def run(quick=False):
    repeat = 5 if quick else 15
    crit = L.MultiTaskCriterion({"nc": 4}, LabelSpace())
    rows = []
    for label, kw in [("8 img x 40 inst (capped to 64)", dict(inst=40)),
                      ("8 img x 6 inst, 1 anchor each (48)", dict(inst=6, per_inst=1))]:
        preds, batch, fg = mask_inputs(**kw)
        torch.manual_seed(1)
        a = crit._mask_loss(preds, batch, *fg)[0]
        torch.manual_seed(1)
        b = ref.mask_loss(crit, preds, batch, *fg)[0]
        assert torch.allclose(a, b, rtol=1e-5, atol=1e-6), (a, b)
        for backward in (False, True):
            e, o = timed_pair(crit, preds, batch, fg, backward, repeat)
            rows.append(row(f"_mask_loss {label}{' +bwd' if backward else ''}", e, o))
    # With a refine head the whole coarse maps are made (they feed the head).
    crit = L.MultiTaskCriterion({"nc": 4}, LabelSpace(), refine=TinyHead())
    preds, batch, fg = mask_inputs()
    preds["f2"] = torch.randn(8, 16, 320, 320)
    for backward in (False, True):
        e, o = timed_pair(crit, preds, batch, fg, backward, repeat)
        rows.append(row(f"_mask_loss 8 img x 40 inst + refine{' +bwd' if backward else ''}", e, o))
    return rows


if __name__ == "__main__":
    main(run, "MultiTaskCriterion per-task losses")
