"""Per-task losses of MultiTaskCriterion (masks with refine ROIs, keypoints,
polylines, tags) and _jitter_rois, against the eager formulation in
bench/ref_losses_tasks.py and on hand-computed cases."""
import math
import os
import sys

import pytest
import torch
import torch.nn as nn
import torch.nn.functional as F

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
import ref_losses_tasks as R  # noqa: E402
from tests.torch_like import error_of, raises_like  # noqa: E402

L = pytest.importorskip("halcyra.losses.losses")
MTC = L.MultiTaskCriterion


class LabelSpace:
    def __init__(self, nc, polyline=(), sigmas=None):
        self.num_categories = nc
        self.categories = [{"is_polyline": i in polyline,
                            **({"kpt_sigmas": sigmas[i]} if sigmas else {})} for i in range(nc)]


def make_crit(refine=None, loss_cfg=None, k=5, n=6, nc=4, sigmas=None):
    cfg = {"nc": nc, "tasks": {"keypoint": {"enabled": True, "num_kpts": k},
                               "polyline": {"enabled": True, "n_points": n}}}
    if sigmas is None:
        sigmas = [[0.03 + 0.02 * c + 0.01 * j for j in range(k)] for c in range(nc)]
    return MTC(cfg, LabelSpace(nc, (nc - 1,), sigmas), loss_cfg, refine)


class RecordingHead(nn.Module):
    """Refine head that records what it is given; sanitize shifts boxes by +1 px."""

    def __init__(self, roi=7):
        super().__init__()
        self.roi = roi
        self.scale = nn.Parameter(torch.tensor(1.5))
        self.calls = []

    def sanitize(self, boxes, size, stride):
        self.calls.append(("sanitize", boxes.clone(), tuple(size), stride))
        return boxes + 1.0

    def forward(self, f2, coarse, boxes, bidx, stride):
        self.calls.append(("call", f2, coarse, boxes.clone(), bidx.clone(), stride))
        pooled = F.adaptive_avg_pool2d(coarse[:, None], self.roi)[:, 0]
        return pooled * self.scale + f2.mean()


def grads(out, inputs):
    return torch.autograd.grad(out, inputs, allow_unused=True)


def close(a, b, rtol=2e-5, atol=2e-6):
    assert a.dtype == b.dtype and a.shape == b.shape
    torch.testing.assert_close(a, b, rtol=rtol, atol=atol)


# ---- masks ----------------------------------------------------------------

def mask_case(seed, B=3, A=60, P=6, hm=24, wm=32, G=7, nfg=50, dtype=torch.float32):
    g = torch.Generator().manual_seed(seed)
    coef = torch.randn(B, A, P, generator=g).to(dtype).requires_grad_()
    protos = torch.randn(B, P, hm, wm, generator=g).to(dtype).requires_grad_()
    xy = torch.rand(B, G, 2, generator=g) * torch.tensor([2.0 * wm, 2.0 * hm]) * 1.2 - 5
    wh = torch.rand(B, G, 2, generator=g) * 30
    gt_boxes = torch.cat([xy, xy + wh], -1)
    batch = dict(mask_valid=torch.rand(B, G, generator=g) > 0.2,
                 has_polygon=torch.arange(B) != 1,
                 gt_masks=(torch.rand(B, G, hm, wm, generator=g) > 0.5).to(torch.uint8),
                 gt_boxes=gt_boxes)
    fg = (torch.randint(0, B, (nfg,), generator=g), torch.randint(0, A, (nfg,), generator=g),
          torch.randint(0, G, (nfg,), generator=g))
    return dict(coef=coef, protos=protos), batch, fg


@pytest.mark.parametrize("seed,nfg", [(0, 30), (1, 50), (2, 200), (3, 1)])
def test_mask_loss_matches_reference(seed, nfg):
    crit = make_crit()
    preds, batch, fg = mask_case(seed, nfg=nfg)
    torch.manual_seed(seed)
    ours, none = crit._mask_loss(preds, batch, *fg)
    torch.manual_seed(seed)
    ref, _ = R.mask_loss(crit, preds, batch, *fg)
    assert none is None and ours.dtype == torch.float32 and ours.dim() == 0
    close(ours, ref)
    for a, b in zip(grads(ours, [preds["coef"], preds["protos"]]),
                    grads(ref, [preds["coef"], preds["protos"]])):
        close(a, b)


def test_mask_loss_half_predictions_and_float64_boxes():
    crit = make_crit()
    preds, batch, fg = mask_case(5, dtype=torch.float16)
    batch["gt_boxes"] = batch["gt_boxes"].double()
    ours, _ = crit._mask_loss(preds, batch, *fg)
    ref, _ = R.mask_loss(crit, preds, batch, *fg)
    assert ours.dtype == torch.float32
    close(ours, ref)
    close(grads(ours, [preds["coef"]])[0], grads(ref, [preds["coef"]])[0])


def test_mask_loss_soft_targets_with_gradient(sound_convolutions):
    # Float targets that require grad take the whole-map product path; both
    # inputs get the gradient of the eager formulation.
    crit = make_crit()
    preds, batch, fg = mask_case(4, nfg=80)
    batch["gt_masks"] = torch.rand(batch["gt_masks"].shape).requires_grad_()
    torch.manual_seed(0)
    ours, _ = crit._mask_loss(preds, batch, *fg)
    torch.manual_seed(0)
    ref, _ = R.mask_loss(crit, preds, batch, *fg)
    close(ours, ref)
    ins = [preds["coef"], preds["protos"], batch["gt_masks"]]
    for x, y in zip(grads(ours, ins), grads(ref, ins)):
        close(x, y)


def test_mask_loss_unavailable_gives_connected_zeros():
    head = RecordingHead()
    crit = make_crit(refine=head)
    preds, batch, fg = mask_case(1)
    f2 = torch.randn(3, 4, 24, 32, requires_grad=True)
    empty = torch.zeros(0, dtype=torch.long)
    # No foreground anchor: the flags are not read at all.
    c, r = crit._mask_loss(preds, {}, empty, empty, empty)
    assert r is None and c.item() == 0.0 and c.grad_fn is not None
    gc, gp = grads(c, [preds["coef"], preds["protos"]])
    assert not gc.any() and not gp.any()
    c, r = crit._mask_loss(dict(preds, f2=f2), {}, empty, empty, empty)
    assert r.item() == 0.0 and not grads(r, [f2])[0].any()
    # Foreground only in images without polygons, although masks are present.
    batch["has_polygon"] = torch.zeros(3, dtype=torch.bool)
    del batch["gt_masks"], batch["gt_boxes"]
    c, r = crit._mask_loss(dict(preds, f2=f2), batch, *fg)
    assert c.item() == 0.0 and r.item() == 0.0 and r.grad_fn is not None
    assert head.calls == []
    # A refine head without f2: refinement is off.
    preds, batch, fg = mask_case(1)
    c, r = crit._mask_loss(preds, batch, *fg)
    assert r is None and c.item() > 0 and head.calls == []


def single_instance(box, hm=10, wm=12, logits=None, target=None):
    """One instance, P = 1, coef 1: pm equals the given logit map."""
    logits = torch.randn(hm, wm) if logits is None else logits
    target = (torch.rand(hm, wm) > 0.5).float() if target is None else target
    preds = dict(coef=torch.ones(1, 1, 1), protos=logits[None, None].clone())
    batch = dict(mask_valid=torch.ones(1, 1, dtype=torch.bool),
                 has_polygon=torch.ones(1, dtype=torch.bool),
                 gt_masks=target[None, None], gt_boxes=torch.tensor([[box]], dtype=torch.float32))
    z = torch.zeros(1, dtype=torch.long)
    return preds, batch, (z, z, z), logits, target


@pytest.mark.parametrize("box,crop", [
    ((30.0, 4.0, 40.0, 9.0), (11, 2, 12, 4)),      # x1 beyond the grid: one column
    ((0.0, 0.0, 0.0, 0.0), (0, 0, 1, 1)),          # degenerate: 1 x 1 at the origin
    ((7.0, 2.0, 15.0, 11.0), (3, 1, 7, 5)),        # 3.5 .. 7.5 covers columns 3 to 6
    ((-9.0, -3.0, 100.0, 4.0), (0, 0, 12, 2)),     # clamped to the grid
])
def test_mask_crop_bounds(box, crop):
    crit = make_crit()
    preds, batch, fg, logits, target = single_instance(box)
    x1, y1, x2, y2 = crop
    expect = F.binary_cross_entropy_with_logits(logits[y1:y2, x1:x2], target[y1:y2, x1:x2])
    ours, _ = crit._mask_loss(preds, batch, *fg)
    close(ours, expect)


def test_mask_nan_box_stays_on_the_grid():
    crit = make_crit()
    preds, batch, fg, logits, target = single_instance((float("nan"), 2.0, 9.0, float("nan")))
    ours, _ = crit._mask_loss(preds, batch, *fg)
    assert math.isfinite(ours.item())


def test_mask_crops_weigh_equally():
    # Crops of 4 and 100 pixels with constant per-pixel losses c1 and c2.
    crit = make_crit()
    hm = wm = 16
    protos = torch.zeros(1, 2, hm, wm)
    protos[0, 0] = 2.0
    protos[0, 1] = -1.0
    preds = dict(coef=torch.tensor([[[1.0, 0.0], [0.0, 1.0]]]), protos=protos)
    batch = dict(mask_valid=torch.ones(1, 2, dtype=torch.bool), has_polygon=torch.ones(1, dtype=torch.bool),
                 gt_masks=torch.zeros(1, 2, hm, wm),
                 gt_boxes=torch.tensor([[[0.0, 0.0, 4.0, 4.0], [4.0, 4.0, 24.0, 24.0]]]))
    ours, _ = crit._mask_loss(preds, batch, torch.tensor([0, 0]), torch.tensor([0, 1]), torch.tensor([0, 1]))
    c1, c2 = F.softplus(torch.tensor(2.0)), F.softplus(torch.tensor(-1.0))
    close(ours, (c1 + c2) / 2)


def cap_case(n_sel, head=None):
    crit = make_crit(refine=head)
    B, A, P, hm, wm = 2, 120, 3, 8, 8
    preds = dict(coef=torch.randn(B, A, P, requires_grad=True), protos=torch.randn(B, P, hm, wm),
                 f2=torch.randn(B, 2, hm, wm))
    batch = dict(mask_valid=torch.ones(B, 1, dtype=torch.bool), has_polygon=torch.ones(B, dtype=torch.bool),
                 gt_masks=torch.ones(B, 1, hm, wm), gt_boxes=torch.tensor([[[0.0, 0.0, 16.0, 16.0]]] * B))
    fg_b = torch.arange(n_sel) % 2
    fg_a = torch.arange(n_sel)
    return crit, preds, batch, (fg_b, fg_a, torch.zeros(n_sel, dtype=torch.long))


def test_mask_cap():
    head = RecordingHead()
    crit, preds, batch, fg = cap_case(100, head)
    torch.manual_seed(7)
    ours, r = crit._mask_loss(preds, batch, *fg)
    call = [c for c in head.calls if c[0] == "call"][0]
    assert call[2].shape[0] == 64 and call[4].shape == (64,)
    # The 64 rows are a random subset of the 100 anchors, images ascending.
    assert (call[4][1:] >= call[4][:-1]).all()
    torch.manual_seed(7)
    ref, rref = R.mask_loss(crit, preds, batch, *fg)
    close(ours, ref)
    close(r, rref)
    # 64 selected anchors: all of them are used and nothing is drawn.
    head.calls.clear()
    crit, preds, batch, fg = cap_case(64, head)
    state = torch.get_rng_state()
    crit._mask_loss(preds, batch, *fg)
    assert torch.equal(state, torch.get_rng_state())
    call = [c for c in head.calls if c[0] == "call"][0]
    assert call[2].shape[0] == 64


@pytest.mark.parametrize("cap,n_sel,kept", [(64, 100, 64), (5, 7, 5), (-3, 10, 7), (0, 4, 0),
                                           (10, 4, 4)])
def test_mask_instances_subset_and_order(cap, n_sel, kept):
    """The mask loss's instances: the selected anchors (read once), at most
    MASK_CAP of them drawn with randperm only when there are more (a negative
    cap keeps all but the last -cap of the permutation, as slicing does), images
    ascending and within an image the drawn order, the same rows of fg_a and
    fg_g, and the images on the host too."""
    g = torch.Generator().manual_seed(n_sel)
    fg_b = torch.randint(0, 3, (n_sel + 5,), generator=g)
    fg_a = torch.arange(n_sel + 5)
    fg_g = fg_a % 4
    sel = torch.ones(n_sel + 5, dtype=torch.bool)
    sel[torch.randperm(n_sel + 5, generator=g)[:5]] = False
    pos = sel.nonzero()[:, 0]
    selection = torch.ops.halcyra.mask_selection(fg_b, sel)
    assert selection.tolist() == [pos.tolist(), fg_b[pos].tolist()]
    torch.manual_seed(0)
    state = torch.get_rng_state()
    b, a, gg, b_host = torch.ops.halcyra.mask_instances(selection, fg_b, fg_a, fg_g, cap,
                                                        torch.zeros(3, 2, 4, 4))
    assert torch.equal(state, torch.get_rng_state()) == (n_sel <= cap)
    assert b.shape == (kept,) and torch.equal(b, b_host) and bool((b[1:] >= b[:-1]).all())
    assert torch.equal(fg_b[a], b) and torch.equal(fg_g[a], gg)
    torch.manual_seed(0)
    drawn = pos[torch.randperm(n_sel)[:cap]] if n_sel > cap else pos
    want = sorted(range(kept), key=lambda i: int(fg_b[drawn[i]]))  # stable: drawn order kept
    assert a.tolist() == [int(drawn[i]) for i in want]
    with pytest.raises(IndexError, match=r"index 5 out of range for tensor of size \[3, 2, 4, 4\]"):
        torch.ops.halcyra.mask_instances(torch.tensor([[0], [5]]), fg_b, fg_a, fg_g, 64,
                                         torch.zeros(3, 2, 4, 4))


@pytest.mark.parametrize("images,p", [([0, 0, 2, 2, 2], 3), ([1], 1), ([-1, 0, 2], 1), ([], 3)],
                         ids=["runs", "one-row", "negative", "none"])
def test_mask_protos_matches_products_per_image(images, p):
    """mask_protos: each instance's logits from its image's prototypes, with
    the gradients autograd gives the per-image products (a one-row factor
    takes autograd's transposed product, an image reached by a negative and a
    positive index sums both), and Meta shapes on symbolic-free sizes."""
    g = torch.Generator().manual_seed(len(images) + p)
    n = len(images)
    rows = torch.randn(n, p, generator=g, requires_grad=True)
    protos = torch.randn(3, p, 4, 5, generator=g, requires_grad=True)
    b_host = torch.tensor(images, dtype=torch.long)
    pm = torch.ops.halcyra.mask_protos(rows, protos, b_host)
    weight = torch.randn(n, 4, 5, generator=g)
    got = torch.autograd.grad((pm * weight).sum(), [rows, protos])
    # the formulation: one product per run of an image
    r2, p2 = rows.detach().requires_grad_(), protos.detach().requires_grad_()
    parts, pieces, start = p2.unbind(0), [], 0
    for i in range(n + 1):
        if i == n or (i > start and images[i] != images[start]):
            if i > start:
                pr = parts[images[start]].reshape(p, 20)
                pieces.append((r2[start:i] @ pr).reshape(i - start, 4, 5))
            start = i
    want_pm = torch.cat(pieces) if pieces else torch.empty(0, 4, 5)
    assert torch.equal(pm, want_pm)
    want = (torch.autograd.grad((want_pm * weight).sum(), [r2, p2]) if pieces
            else [torch.zeros_like(r2), torch.zeros_like(p2)])
    for a, b in zip(got, want):
        assert torch.equal(a, b)
    meta = torch.ops.halcyra.mask_protos(rows.to("meta"), protos.to("meta"), b_host)
    assert meta.shape == (n, 4, 5) and meta.dtype == rows.dtype


def test_mask_regions_rows_and_checks():
    """mask_regions: the instance numbers beside the boxes over the mask
    stride, on coef's device; a grid without pixels, then regions that are not
    finite, are the mask loss's ValueErrors (with no instance, only the grid is
    checked)."""
    boxes = torch.tensor([[0.0, 2.0, 6.0, 8.0], [4.0, 4.0, 10.0, 12.0]])
    b = torch.tensor([0, 2])
    coef = torch.zeros(3, 4, 2)
    rows = torch.ops.halcyra.mask_regions(boxes, b, coef, 2, 8, 8)
    assert torch.equal(rows, torch.cat([torch.arange(2.0)[:, None], boxes / 2], 1))
    with pytest.raises(ValueError, match=r"the masks have no pixels to sample, got size \(0, 8\)"):
        torch.ops.halcyra.mask_regions(boxes * float("nan"), b, coef, 2, 0, 8)
    with pytest.raises(ValueError, match=r"refine regions \(sanitized boxes / MASK_STRIDE\) must be finite"):
        torch.ops.halcyra.mask_regions(boxes * float("inf"), b, coef, 2.5, 8, 8)
    empty = torch.ops.halcyra.mask_regions(boxes[:0], b[:0], coef, 2, 8, 8)
    assert empty.shape == (0, 5)
    meta = torch.ops.halcyra.mask_regions(boxes.to("meta"), b.to("meta"), coef.to("meta"), 2, 8, 8)
    assert meta.shape == (2, 5) and meta.is_meta


def refine_case(seed=3):
    preds, batch, fg = mask_case(seed, nfg=25)
    preds["f2"] = torch.randn(3, 4, 24, 32, dtype=torch.float16, requires_grad=True)
    return preds, batch, fg


def test_refine_branch_inputs_and_targets():
    head = RecordingHead(roi=6)
    crit = make_crit(refine=head)
    crit.eval()
    crit.refine_jitter = 0.3                       # no jitter in evaluation mode
    preds, batch, fg = refine_case()
    state = torch.get_rng_state()
    coarse, refine = crit._mask_loss(preds, batch, *fg)
    assert torch.equal(state, torch.get_rng_state())
    (_, sboxes, size, sstride), (_, f2, coarse_all, boxes, bidx, stride) = head.calls
    # Instance order: images ascending, within an image the order of the anchors.
    sel = batch["mask_valid"][fg[0], fg[2]] & batch["has_polygon"][fg[0]]
    b, a, g = (t[sel] for t in fg)
    order = torch.sort(b, stable=True).indices
    b, a, g = b[order], a[order], g[order]
    assert torch.equal(bidx, b) and bidx.dtype == torch.long
    close(sboxes, batch["gt_boxes"][b, g].float())
    assert size == (24, 32) and sstride == 2.0 and stride == 2.0
    assert isinstance(stride, float) and isinstance(sstride, float)
    close(boxes, sboxes + 1.0)
    assert f2.dtype == torch.float32
    pm = torch.einsum("np,nphw->nhw", preds["coef"][b, a].float(), preds["protos"][b].float())
    close(coarse_all, pm, rtol=1e-4, atol=1e-5)
    assert coarse_all.requires_grad
    # Targets: ROI samples of each instance's own mask over the sanitized box.
    from torchvision.ops import roi_align
    gt = batch["gt_masks"][b, g].float()
    rois = torch.cat([torch.arange(len(b), dtype=torch.float32)[:, None], boxes / 2], 1)
    gt_roi = roi_align(gt[:, None], rois, (6, 6), spatial_scale=1.0, aligned=True)[:, 0].clamp(0, 1)
    refined = head(f2, coarse_all, boxes, bidx, stride)
    expect = F.binary_cross_entropy_with_logits(refined, gt_roi) + L.dice_loss(refined, gt_roi)
    close(refine, expect)
    # Against the eager formulation, gradients included.
    head.calls.clear()
    ref_c, ref_r = R.mask_loss(crit, preds, batch, *fg)
    close(coarse, ref_c)
    close(refine, ref_r)
    ins = [preds["coef"], preds["protos"], preds["f2"], head.scale]
    for x, y in zip(grads(coarse + refine, ins), grads(ref_c + ref_r, ins)):
        close(x, y, rtol=1e-4, atol=1e-5)


def test_refine_jitter_in_training_only():
    head = RecordingHead()
    crit = make_crit(refine=head, loss_cfg={"refine_jitter": 0.2})
    assert crit.training and crit.refine_jitter == 0.2
    preds, batch, fg = refine_case()
    torch.manual_seed(11)
    ours = crit._mask_loss(preds, batch, *fg)
    jittered = head.calls[0][1]
    torch.manual_seed(11)
    ref = R.mask_loss(crit, preds, batch, *fg, jitter=L._jitter_rois)
    close(ours[1], ref[1])
    close(head.calls[2][1], jittered)
    plain = plain_boxes(batch, fg)
    assert jittered.shape == plain.shape and not torch.allclose(jittered, plain)
    # The module's _jitter_rois is looked up at call time.
    seen = []
    orig = L._jitter_rois
    try:
        L._jitter_rois = lambda boxes, scale, shift: seen.append((scale, shift)) or boxes
        crit._mask_loss(preds, batch, *fg)
    finally:
        L._jitter_rois = orig
    assert seen == [(0.2, 0.1)]


def test_refine_loss_late_bound_dice_and_roi_align(monkeypatch):
    """The refine loss is the cross-entropy plus the module's dice_loss as
    looked up at call time; its targets come from torchvision.ops.roi_align as
    looked up at call time, over the regions the head's sanitize returned."""
    import torchvision.ops
    orig_roi = torchvision.ops.roi_align
    seen = []

    def roi_align(masks, rois, size, **kw):
        seen.append(("roi_align", rois.clone(), size, kw))
        return orig_roi(masks, rois, size, **kw)

    def dice(logits, targets):
        seen.append(("dice", logits.shape, targets.shape))
        return torch.tensor(10.0)
    monkeypatch.setattr(torchvision.ops, "roi_align", roi_align)
    monkeypatch.setattr(L, "dice_loss", dice)
    head = RecordingHead(roi=6)
    crit = make_crit(refine=head)
    preds, batch, fg = refine_case()
    _, refine = crit._mask_loss(preds, batch, *fg)
    (_, rois, size, kw), (_, dshape, tshape) = seen
    assert size == (6, 6) and kw == {"spatial_scale": 1.0, "aligned": True}
    n = rois.shape[0]
    sanitized = head.calls[0][1] + 1.0        # RecordingHead.sanitize adds 1 px
    close(rois, torch.cat([torch.arange(n, dtype=torch.float32)[:, None], sanitized / 2], 1))
    assert dshape == tshape == (n, 6, 6)
    monkeypatch.setattr(L, "dice_loss", lambda logits, targets: torch.tensor(0.0))
    _, bce = crit._mask_loss(preds, batch, *fg)
    close(refine, bce + 10.0)


def plain_boxes(batch, fg):
    sel = batch["mask_valid"][fg[0], fg[2]] & batch["has_polygon"][fg[0]]
    b, g = fg[0][sel], fg[2][sel]
    order = torch.sort(b, stable=True).indices
    return batch["gt_boxes"][b[order], g[order]].float()


def test_jitter_rois():
    boxes = torch.tensor([[10.0, 20.0, 50.0, 40.0], [0.0, 0.0, 8.0, 100.0]]).repeat(50, 1)
    close(L._jitter_rois(boxes, 0, 0), boxes)
    torch.manual_seed(3)
    out = L._jitter_rois(boxes)
    torch.manual_seed(3)
    close(out, R.jitter_rois(boxes))
    w, h = boxes[:, 2] - boxes[:, 0], boxes[:, 3] - boxes[:, 1]
    w2, h2 = out[:, 2] - out[:, 0], out[:, 3] - out[:, 1]
    assert ((w2 >= 0.9 * w - 1e-4) & (w2 < 1.1 * w + 1e-4)).all()
    assert ((h2 >= 0.9 * h - 1e-4) & (h2 < 1.1 * h + 1e-4)).all()
    assert ((out[:, 0] + out[:, 2]) / 2 - (boxes[:, 0] + boxes[:, 2]) / 2).abs().lt(0.05 * w + 1e-4).all()
    assert ((out[:, 1] + out[:, 3]) / 2 - (boxes[:, 1] + boxes[:, 3]) / 2).abs().lt(0.05 * h + 1e-4).all()
    assert not torch.allclose(out, boxes)
    assert L._jitter_rois(boxes.double(), scale=0.5, shift=torch.tensor(0.1)).dtype == torch.float64
    # any number float() accepts is a number; others, strings too, are a TypeError
    from fractions import Fraction
    torch.manual_seed(5)
    out = L._jitter_rois(boxes, Fraction(1, 4), Fraction(1, 8))
    torch.manual_seed(5)
    close(out, R.jitter_rois(boxes, 0.25, 0.125))
    with pytest.raises(TypeError,
                       match=r"^_jitter_rois\(\): 'shift' must be a number or a tensor, not NoneType$"):
        L._jitter_rois(boxes, 0.1, None)
    for text in ("0.1", b"0.1"):
        with pytest.raises(TypeError, match="'scale' must be a number or a tensor"):
            L._jitter_rois(boxes, text, 0.05)


# ---- keypoints --------------------------------------------------------------

def kpt_case(seed, B=3, A=40, G=5, K=5, nfg=30):
    g = torch.Generator().manual_seed(seed)
    points = torch.rand(A, 2, generator=g) * 200
    strides = torch.tensor([8.0, 16.0, 32.0])[torch.randint(0, 3, (A,), generator=g)]
    raw = (torch.randn(B, A, 3 * K, generator=g) * 2).requires_grad_()
    xy = torch.rand(B, G, 2, generator=g) * 200
    gt_boxes = torch.cat([xy, xy + 10 + torch.rand(B, G, 2, generator=g) * 80], -1)
    kp = torch.cat([torch.rand(B, G, K, 2, generator=g) * 250,
                    torch.randint(0, 3, (B, G, K, 1), generator=g).float()], -1)
    batch = dict(kpt_valid=torch.rand(B, G, generator=g) > 0.3, has_keypoint=torch.arange(B) != 2,
                 gt_kpts=kp, gt_boxes=gt_boxes, gt_cls=torch.randint(0, 4, (B, G), generator=g))
    fg = (torch.randint(0, B, (nfg,), generator=g), torch.randint(0, A, (nfg,), generator=g),
          torch.randint(0, G, (nfg,), generator=g))
    return dict(kpt_raw=raw), batch, points, strides, fg


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_kpt_loss_matches_reference(seed, run):
    crit = make_crit()
    preds, batch, points, strides, fg = kpt_case(seed)
    ours = run(crit._kpt_loss, preds, batch, points, strides, *fg)
    ref = R.kpt_loss(crit, preds, batch, points, strides, *fg)
    for x, y in zip(ours, ref):
        assert x.dtype == torch.float32 and x.dim() == 0
        close(x, y)
    for x, y in zip(grads(ours[0] + 2 * ours[1], [preds["kpt_raw"]]),
                    grads(ref[0] + 2 * ref[1], [preds["kpt_raw"]])):
        close(x, y)


def one_kpt(pred_xy, gt_xy, v=2.0, box=(0.0, 0.0, 100.0, 100.0), sigma=0.05, logit=0.0):
    crit = make_crit(k=1, sigmas=[[sigma]] * 4)
    raw = torch.tensor([[[pred_xy[0] / 8.0, pred_xy[1] / 8.0, logit]]], requires_grad=True)
    batch = dict(kpt_valid=torch.ones(1, 1, dtype=torch.bool), has_keypoint=torch.ones(1, dtype=torch.bool),
                 gt_kpts=torch.tensor([[[[gt_xy[0], gt_xy[1], v]]]]), gt_boxes=torch.tensor([[box]]),
                 gt_cls=torch.zeros(1, 1, dtype=torch.long))
    z = torch.zeros(1, dtype=torch.long)
    out = crit._kpt_loss(dict(kpt_raw=raw), batch, torch.zeros(1, 2), torch.tensor([8.0]), z, z, z)
    return out, raw


def test_kpt_numeric_examples():
    (loc, vis), _ = one_kpt((60.0, 50.0), (50.0, 50.0))
    assert loc.item() == pytest.approx(1 - math.exp(-0.5) + 0.02, abs=1e-6)
    assert loc.item() == pytest.approx(0.41347, abs=1e-5)
    assert vis.item() == pytest.approx(math.log(2), abs=1e-6)
    (loc, _), _ = one_kpt((50.0, 50.0), (50.0, 50.0))
    assert 0 <= loc.item() < 1e-6
    # v = 1 and larger values are labeled, v = 0 is not (loc 0, still connected).
    for v in (1.0, 5.0):
        assert one_kpt((60.0, 50.0), (50.0, 50.0), v=v)[0][0].item() == pytest.approx(0.41347, abs=1e-5)
    (loc, vis), raw = one_kpt((60.0, 50.0), (50.0, 50.0), v=0.0, logit=3.0)
    assert loc.item() == 0.0 and loc.grad_fn is not None
    assert vis.item() == pytest.approx(F.softplus(torch.tensor(3.0)).item(), abs=1e-6)
    # A zero-area box stays finite.
    (loc, _), _ = one_kpt((60.0, 50.0), (50.0, 50.0), box=(5.0, 5.0, 5.0, 5.0))
    assert math.isfinite(loc.item()) and loc.item() > 1


def test_kpt_unavailable_gives_connected_zeros(run):
    crit = make_crit()
    preds, batch, points, strides, fg = kpt_case(0)
    empty = torch.zeros(0, dtype=torch.long)
    for b, f, whole in (({}, (empty,) * 3, False),
                        (dict(batch, has_keypoint=torch.zeros(3, dtype=torch.bool)), fg, True)):
        loc, vis = run(crit._kpt_loss, preds, b, points, strides, *f, whole=whole)
        assert loc.item() == 0.0 and vis.item() == 0.0 and loc is not vis
        assert not grads(loc + vis, [preds["kpt_raw"]])[0].any()


# ---- polylines --------------------------------------------------------------

def pline_one(pred_pts, gt_pts, stride=8.0):
    crit = make_crit(n=len(gt_pts))
    anchor = torch.tensor([[4.0, 4.0]])
    off = (torch.tensor(pred_pts) - anchor) / stride
    raw = off.reshape(1, 1, -1).clone().requires_grad_()
    batch = dict(pline_valid=torch.ones(1, 1, dtype=torch.bool), has_polyline=torch.ones(1, dtype=torch.bool),
                 gt_plines=torch.tensor([[gt_pts]]))
    z = torch.zeros(1, dtype=torch.long)
    return crit._pline_loss(dict(pline_raw=raw), batch, anchor, torch.tensor([stride]), z, z, z), raw


def test_pline_numeric_examples():
    line = [[0.0, 0.0], [16.0, 8.0], [40.0, 8.0], [64.0, 32.0]]
    assert pline_one(line, line[::-1])[0].item() == pytest.approx(0.0, abs=1e-6)
    shifted = [[x + 4.0, y] for x, y in line]
    assert pline_one(shifted, line)[0].item() == pytest.approx(0.0625, abs=1e-6)
    far = [list(p) for p in line]
    far[0][1] += 24.0                               # 3 strides: linear branch, 2.5 / 2N
    assert pline_one(far, line)[0].item() == pytest.approx(2.5 / 8, abs=1e-6)
    off16 = [list(p) for p in line]
    off16[1][0] += 16.0
    assert pline_one(off16, line, stride=8.0)[0].item() == pytest.approx(1.5 / 8, abs=1e-6)
    assert pline_one(off16, line, stride=32.0)[0].item() == pytest.approx(0.125 / 8, abs=1e-6)


def pline_case(seed, B=3, A=40, G=5, N=6, nfg=30):
    g = torch.Generator().manual_seed(seed)
    points = torch.rand(A, 2, generator=g) * 200
    strides = torch.tensor([8.0, 16.0, 32.0])[torch.randint(0, 3, (A,), generator=g)]
    raw = (torch.randn(B, A, 2 * N, generator=g) * 3).requires_grad_()
    batch = dict(pline_valid=torch.rand(B, G, generator=g) > 0.3, has_polyline=torch.arange(B) != 0,
                 gt_plines=torch.rand(B, G, N, 2, generator=g) * 250)
    fg = (torch.randint(0, B, (nfg,), generator=g), torch.randint(0, A, (nfg,), generator=g),
          torch.randint(0, G, (nfg,), generator=g))
    return dict(pline_raw=raw), batch, points, strides, fg


@pytest.mark.parametrize("seed", [0, 1])
def test_pline_loss_matches_reference_and_zero(seed, run):
    crit = make_crit()
    preds, batch, points, strides, fg = pline_case(seed)
    ours = run(crit._pline_loss, preds, batch, points, strides, *fg)
    ref = R.pline_loss(crit, preds, batch, points, strides, *fg)
    close(ours, ref)
    close(grads(ours, [preds["pline_raw"]])[0], grads(ref, [preds["pline_raw"]])[0])
    batch["has_polyline"] = torch.zeros(3, dtype=torch.bool)
    z = run(crit._pline_loss, preds, batch, points, strides, *fg)
    assert z.item() == 0.0 and not grads(z, [preds["pline_raw"]])[0].any()
    del batch["gt_plines"]
    z = run(crit._pline_loss, preds, batch, points, strides, *fg, whole=False)
    assert z.item() == 0.0 and not grads(z, [preds["pline_raw"]])[0].any()


# ---- tags ---------------------------------------------------------------------

def test_tag_loss(run):
    crit = make_crit()
    logits = torch.randn(4, 3, dtype=torch.float16, requires_grad=True)
    gt = torch.randint(0, 2, (4, 3))
    has = torch.tensor([False, True, False, False])
    out = run(crit._tag_loss, dict(tag_logits=logits), dict(has_tags=has, gt_tags=gt))
    assert out.dtype == torch.float32
    close(out, F.binary_cross_entropy_with_logits(logits[1].float(), gt[1].float()))
    (gl,) = grads(out, [logits])
    assert not gl[[0, 2, 3]].any() and gl[1].abs().sum() > 0
    has = torch.tensor([True, True, False, True])
    out = run(crit._tag_loss, dict(tag_logits=logits), dict(has_tags=has, gt_tags=gt))
    close(out, R.tag_loss(crit, dict(tag_logits=logits), dict(has_tags=has, gt_tags=gt)))
    z = run(crit._tag_loss, dict(tag_logits=logits), dict(has_tags=torch.zeros(4, dtype=torch.bool)),
            whole=False)
    assert z.item() == 0.0 and z.dtype == torch.float32 and not grads(z, [logits])[0].any()
    # targets of another size: the ValueError of binary_cross_entropy_with_logits
    gt5 = torch.randint(0, 2, (4, 5))
    raises_like(error_of(F.binary_cross_entropy_with_logits, logits[[0, 1, 3]].float(), gt5[[0, 1, 3]].float()),
                crit._tag_loss, dict(tag_logits=logits), dict(has_tags=has, gt_tags=gt5))


# ---- the operators the compiler calls ----------------------------------------

def task_op_calls(crit):
    """Per task: the method call, the operator and its arguments as the traced
    method gives them (the batch's tensors), the differentiable input, the
    batch and its availability entry."""
    kp, kb, points, strides, fg = kpt_case(1)
    pp, pb, ppoints, pstrides, pfg = pline_case(1)
    logits = torch.randn(4, 3, requires_grad=True)
    tb = dict(has_tags=torch.tensor([False, True, False, True]), gt_tags=torch.randint(0, 2, (4, 3)))
    decoded = L.decode_points(pp["pline_raw"], ppoints, pstrides, crit.n_pline)
    return {
        "kpt": (lambda: crit._kpt_loss(kp, kb, points, strides, *fg), "kpt_loss",
                lambda: (kp["kpt_raw"], points, strides, *fg, kb["kpt_valid"], kb["has_keypoint"],
                         kb["gt_kpts"], kb["gt_boxes"], kb["gt_cls"], crit.kpt_sigmas,
                         crit.num_kpts, L.EPS),
                kp["kpt_raw"], kb, "has_keypoint"),
        "pline": (lambda: crit._pline_loss(pp, pb, ppoints, pstrides, *pfg), "pline_loss",
                  lambda: (decoded, pstrides, *pfg, pb["pline_valid"], pb["has_polyline"],
                           pb["gt_plines"]),
                  pp["pline_raw"], pb, "has_polyline"),
        "tag": (lambda: crit._tag_loss(dict(tag_logits=logits), tb), "tag_loss",
                lambda: (logits, tb["has_tags"], tb["gt_tags"]), logits, tb, "has_tags"),
    }


@pytest.mark.parametrize("task", ["kpt", "pline", "tag"])
def test_task_operators_give_the_methods_losses_and_gradients(task, sound_convolutions):
    """Each operator's losses and its kept gradients are the method's, with
    and without selected instances; without a gradient to keep it records
    none; its fake kernels give scalar losses and gradients of the input's
    shape."""
    crit = make_crit(n=6)
    method, name, args, x, batch, has_key = task_op_calls(crit)[task]
    op, op_grad = getattr(torch.ops.halcyra, name), getattr(torch.ops.halcyra, name + "_grad")
    for selected in (True, False):
        if not selected:
            batch[has_key] = torch.zeros_like(batch[has_key])
        want = method()
        want = list(want) if isinstance(want, tuple) else [want]
        *got, any_ = op(*args())
        assert any_.dtype == torch.bool and bool(any_) == selected
        for g, w in zip(got, want):
            close(g, w)
        for i in range(len(want)):
            gw, gg = (torch.autograd.grad(t[i], [x], retain_graph=True)[0] for t in (want, got))
            close(gg, gw)
    with torch.no_grad():
        assert not any(t.requires_grad for t in op(*args()))
    fake = [a.detach().to("meta") if torch.is_tensor(a) else a for a in args()]
    out = op_grad(*fake)
    n = len(want)
    assert all(t.shape == () for t in out[:n]) and out[n].dtype == torch.bool
    assert all(t.shape == fake[0].shape and t.is_meta for t in out[n + 1:])
    assert [t.shape for t in op(*fake)] == [()] * (n + 1)


def test_tag_operator_target_size_error_as_the_method():
    crit = make_crit()
    logits, has, gt = torch.randn(4, 3), torch.ones(4, dtype=torch.bool), torch.zeros(4, 2)
    with pytest.raises(ValueError) as want:
        crit._tag_loss(dict(tag_logits=logits), dict(has_tags=has, gt_tags=gt))
    with pytest.raises(ValueError) as got:
        torch.ops.halcyra.tag_loss(logits, has, gt)
    assert str(got.value).startswith(str(want.value))


# ---- Python interface ---------------------------------------------------------

def test_signatures_docs_and_key_errors():
    import inspect
    assert str(inspect.signature(L._jitter_rois)) == "(boxes, scale=0.1, shift=0.05)"
    assert str(inspect.signature(MTC._mask_loss)) == "(self, preds, batch, fg_b, fg_a, fg_g)"
    assert str(inspect.signature(MTC._kpt_loss)) == "(self, preds, batch, points, strides, fg_b, fg_a, fg_g)"
    assert str(inspect.signature(MTC._pline_loss)) == "(self, preds, batch, points, strides, fg_b, fg_a, fg_g)"
    assert str(inspect.signature(MTC._tag_loss)) == "(self, preds, batch)"
    assert MTC._mask_loss.__doc__ == "Returns (coarse prototype loss, refine loss | None)."
    assert MTC._tag_loss.__qualname__ == "MultiTaskCriterion._tag_loss"
    crit = make_crit()
    preds, batch, fg = mask_case(0)
    with pytest.raises(KeyError, match="protos"):
        crit._mask_loss(dict(coef=preds["coef"]), batch, *fg)
    del batch["gt_masks"]
    with pytest.raises(KeyError, match="gt_masks"):
        crit._mask_loss(preds, batch, *fg)
    kp, kb, points, strides, kfg = kpt_case(0)
    del kb["kpt_valid"]
    with pytest.raises(KeyError, match="kpt_valid"):
        crit._kpt_loss(kp, kb, points, strides, *kfg)
    with pytest.raises(KeyError, match="has_tags"):
        crit._tag_loss(dict(tag_logits=torch.zeros(2, 3)), {})
    with pytest.raises(TypeError):
        crit._tag_loss(dict(tag_logits=torch.zeros(2, 3)))


# ---- through the criterion --------------------------------------------------

def test_forward_stats_with_every_task(monkeypatch):
    head = RecordingHead()
    crit = make_crit(refine=head)
    shapes = [(4, 4), (2, 2), (1, 1)]
    A, B, G, nc = 21, 2, 3, 4
    half = torch.float16

    def fake_assign(scores, boxes, points, gt_boxes, gt_cls, gt_valid, gt_ignore, **kw):
        fg = torch.zeros(B, A, dtype=torch.bool)
        fg[0, [1, 5, 9]] = True
        fg[1, [2, 17]] = True
        matched = torch.arange(A).repeat(B, 1) % G
        ts = torch.zeros(B, A, nc)
        ts[fg] = 0.7
        return fg, matched, gt_boxes[:, :1].expand(B, A, 4).float(), ts, torch.zeros(B, A, dtype=torch.bool)

    monkeypatch.setattr(L, "assign", fake_assign)
    g = torch.Generator().manual_seed(0)
    preds = dict(feat_shapes=shapes, cls_raw=torch.randn(B, A, nc, generator=g).to(half),
                 box_raw=torch.randn(B, A, 4, generator=g).to(half),
                 coef=torch.randn(B, A, 3, generator=g).to(half), protos=torch.randn(B, 3, 16, 16, generator=g).to(half),
                 f2=torch.randn(B, 2, 16, 16, generator=g).to(half),
                 kpt_raw=torch.randn(B, A, 15, generator=g).to(half), pline_raw=torch.randn(B, A, 12, generator=g).to(half),
                 tag_logits=torch.randn(B, 2, generator=g).to(half))
    on = torch.ones(B, dtype=torch.bool)
    xy = torch.rand(B, G, 2, generator=g) * 20
    batch = dict(gt_boxes=torch.cat([xy, xy + 8], -1), gt_cls=torch.zeros(B, G, dtype=torch.long),
                 gt_valid=torch.ones(B, G, dtype=torch.bool), gt_ignore=torch.zeros(B, G, dtype=torch.bool),
                 has_rect=on, has_polygon=on, has_keypoint=on, has_polyline=on, has_tags=on,
                 gt_tags=torch.ones(B, 2), gt_masks=torch.ones(B, G, 16, 16), mask_valid=torch.ones(B, G, dtype=torch.bool),
                 gt_kpts=torch.rand(B, G, 5, 3, generator=g) * 2, kpt_valid=torch.ones(B, G, dtype=torch.bool),
                 gt_plines=torch.rand(B, G, 6, 2, generator=g) * 30, pline_valid=torch.ones(B, G, dtype=torch.bool))
    total, stats = crit(preds, batch)
    assert list(stats) == ["cls", "box", "mask", "refine", "kpt", "vis", "poly", "tag", "num_pos"]
    assert all(v.dtype == torch.float32 for v in stats.values())
    assert stats["num_pos"].item() == 5.0 and stats["refine"].item() > 0
    expect = sum(crit.w[k] * stats[k] for k in list(stats)[:-1])
    close(total.detach(), expect, rtol=1e-5, atol=1e-5)



class ConstantHead(RecordingHead):
    """Refine head whose output does not depend on the maps it is given."""

    def forward(self, f2, coarse, boxes, bidx, stride):
        return torch.zeros(boxes.shape[0], self.roi, self.roi) * self.scale


def test_mask_stride_and_cap_overrides():
    """MASK_STRIDE may be a tensor number, not a string; a MASK_CAP of zero keeps
    no instance: a zero loss, as in the formulation."""
    preds, batch, fg = mask_case(4, nfg=40)
    crit = make_crit()
    crit.MASK_STRIDE = torch.tensor(2.0)
    close(crit._mask_loss(preds, batch, *fg)[0], R.mask_loss(crit, preds, batch, *fg)[0])
    crit.MASK_STRIDE = "2"
    with pytest.raises(TypeError, match="^'MASK_STRIDE' must be a number, not str$"):
        crit._mask_loss(preds, batch, *fg)
    crit = make_crit()
    crit.MASK_CAP = 0
    ours, r = crit._mask_loss(preds, batch, *fg)
    want, _ = R.mask_loss(crit, preds, batch, *fg)
    assert r is None
    close(ours, want)
    assert ours.item() == 0

def test_mask_loss_zero_size_maps():
    """Prototype maps with no rows or no columns: the fused crop kernels used to
    read outside them. The loss is now that of the eager formulation (every crop
    empty: zero, connected to the graph); with a refine head nothing can be
    sampled, which raises ValueError."""
    for hm, wm in ((0, 32), (24, 0)):
        preds, batch, fg = mask_case(6, hm=hm, wm=wm, nfg=30)
        for soft in (False, True):  # the fused prototype kernel, then the crop kernel
            if soft:
                batch["gt_masks"] = batch["gt_masks"].float().requires_grad_()
            ours, _ = make_crit()._mask_loss(preds, batch, *fg)
            ref, _ = R.mask_loss(make_crit(), preds, batch, *fg)
            close(ours, ref)
            assert ours.item() == 0 and ours.requires_grad
        preds["f2"] = torch.randn(3, 4, 24, 32)
        from halcyra.models.refine import RefineHead
        for head in (RefineHead(in_ch=4, roi=5, hidden=4), RecordingHead()):
            # the shipped head's ValueError; a Python head's own failure (the
            # tensor library's, on this torch) as in the eager formulation
            raises_like(error_of(R.mask_loss, make_crit(refine=head), preds, batch, *fg),
                        make_crit(refine=head)._mask_loss, preds, batch, *fg)
        # a head that samples nothing itself: the ground-truth masks cannot be
        # sampled for its targets either
        with pytest.raises(ValueError, match=r"the masks have no pixels to sample, got size \(%d, %d\)"
                           % (hm, wm)):
            make_crit(refine=ConstantHead())._mask_loss(preds, batch, *fg)


def test_refine_regions_must_be_finite():
    """Regions that are not finite after the division by MASK_STRIDE (a head's
    sanitize returning NaN, or a vanishing MASK_STRIDE) raise ValueError instead
    of reaching roi_align, which indexes outside its input with them."""
    preds, batch, fg = refine_case()

    class NanHead(RecordingHead):
        def sanitize(self, boxes, size, stride):
            out = boxes.clone()
            out[0, 0] = float("nan")
            return out

    with pytest.raises(ValueError, match="finite"):
        make_crit(refine=NanHead())._mask_loss(preds, batch, *fg)
    crit = make_crit(refine=RecordingHead())
    crit.MASK_STRIDE = 1e-300
    with pytest.raises(ValueError, match="finite"):
        crit._mask_loss(preds, batch, *fg)
