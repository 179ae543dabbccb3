"""The criterion's fused kernels as dispatcher operators: each against its
tensor formulation (values and gradients, in float64), compiled whole, on
fake tensors, and with the errors of arguments they cannot differentiate."""
import pytest
import torch
import torch.nn.functional as F

L = pytest.importorskip("halcyra.losses.losses")
ops = torch.ops.halcyra


def close(a, b, rtol=1e-5, atol=1e-6):
    torch.testing.assert_close(a.double(), b.double(), rtol=rtol, atol=atol)


def leaf(t):
    return t.clone().requires_grad_(True)


def cls_case(seed, B=2, A=50, nc=5):
    g = torch.Generator().manual_seed(seed)
    x = torch.randn(B, A, nc, generator=g) * 4
    t = torch.rand(B, A, nc, generator=g) * (torch.rand(B, A, 1, generator=g) < 0.3)
    fg = t.sum(-1) > 0
    ign = torch.rand(B, A, generator=g) < 0.2
    has = [torch.rand(B, generator=g) < 0.7 for _ in range(4)]
    is_pl = torch.arange(nc) % 3 == 0
    return x, t, fg, ign, has, is_pl


def cls_reference(x, t, fg, ign, has, is_pl):
    box = has[0] | has[1] | has[2]
    col = torch.where(is_pl[None], has[3][:, None], box[:, None]).double()
    aw = (~ign | fg).double()
    w = aw[..., None] * col[:, None]
    norm = (t.double() * col[:, None]).sum().clamp_min(1)
    bce = F.binary_cross_entropy_with_logits(x.double(), t.double(), reduction="none")
    return (bce * w).sum() / norm, norm


@pytest.mark.parametrize("seed", [0, 1])
def test_cls_loss_operator(seed, run):
    """cls_loss (class availability, anchor weights and the weighted BCE
    kernel) and its gradient are the formulation's, compiled whole too; the
    scores argument is optional; non-finite logits give the formulation's
    non-finite loss."""
    x, t, fg, ign, has, is_pl = cls_case(seed)
    xd = leaf(x.double())
    want, want_norm = cls_reference(xd, t, fg, ign, has, is_pl)
    (gw,) = torch.autograd.grad(want, [xd])
    for scores in (None, x.sigmoid()):
        xl = leaf(x)
        got, norm = run(lambda a: ops.cls_loss(a, t, fg, ign, *has, is_pl, scores), xl)
        close(got, want)
        close(norm, want_norm)
        assert not norm.requires_grad
        (gg,) = torch.autograd.grad(got, [xl])
        close(gg, gw)
    bad = x.clone()
    bad[0, 0, 0] = float("nan")
    assert torch.isnan(ops.cls_loss(bad, t, fg, ign, *has, is_pl)[0])


def test_weighted_bce_operator_errors_and_fake_shapes():
    x, t, fg, ign, has, is_pl = cls_case(2)
    aw, col = (~ign | fg).float(), torch.ones(2, 5)
    with pytest.raises(RuntimeError, match="only x is differentiable"):
        ops.weighted_bce(leaf(x), leaf(t), aw, col, x.sigmoid())
    s, m = ops.weighted_bce(leaf(x), t, aw, col, x.sigmoid())
    assert s.requires_grad and not m.requires_grad
    close(m, (t * col[:, None]).sum())
    meta = [a.to("meta") for a in (x, t, aw, col, x)]
    assert [r.shape for r in ops.weighted_bce(*meta)] == [(), ()]
    assert ops.weighted_bce_backward(torch.ones((), device="meta"), *meta).shape == x.shape


def crop_case(seed, B=2, n=5, P=4, hm=9, wm=11):
    g = torch.Generator().manual_seed(seed)
    rows = torch.randn(n, P, generator=g)
    protos = torch.randn(B, P, hm, wm, generator=g)
    image = torch.randint(0, B, (n,), generator=g)
    gt = (torch.rand(n, hm, wm, generator=g) > 0.5).float()
    x1 = torch.randint(0, wm - 1, (n,), generator=g)
    y1 = torch.randint(0, hm - 1, (n,), generator=g)
    x2 = x1 + 1 + torch.randint(0, 4, (n,), generator=g)
    y2 = y1 + 1 + torch.randint(0, 4, (n,), generator=g)
    bounds = torch.stack([x1, y1, x2.clamp(max=wm), y2.clamp(max=hm)], 1)
    return rows, protos, image, gt, bounds


def crop_reference(pm, gt, bounds):
    hm, wm = pm.shape[1:]
    ys, xs = torch.arange(hm), torch.arange(wm)
    total = 0
    for j, (x1, y1, x2, y2) in enumerate(bounds.tolist()):
        inside = ((ys >= y1) & (ys < y2))[:, None] & ((xs >= x1) & (xs < x2))[None]
        bce = F.binary_cross_entropy_with_logits(pm[j], gt[j], reduction="none")
        total = total + bce[inside].sum() / inside.sum()
    return total


@pytest.mark.parametrize("n", [5, 0])
def test_crop_bce_operators(n, run):
    """crop_bce_sum over logits and proto_crop_bce_sum over prototype rows
    are the formulation's sum of per-crop mean BCEs, with the gradients of
    every differentiable argument, compiled whole too; no instances give 0."""
    rows, protos, image, gt, bounds = crop_case(n, n=n)
    pm = torch.einsum("np,nphw->nhw", rows, protos[image])
    rd, pd, gd = leaf(rows.double()), leaf(protos.double()), leaf(gt.double())
    want = crop_reference(torch.einsum("np,nphw->nhw", rd, pd[image]), gd, bounds)
    want = torch.as_tensor(want, dtype=torch.float64)
    wants = torch.autograd.grad(want, [rd, pd, gd], allow_unused=True) if n else None

    pl, gl = leaf(pm), leaf(gt)
    got = run(ops.crop_bce_sum, pl, gl, bounds)
    close(got, want)
    rl, prl = leaf(rows), leaf(protos)
    got_p = run(ops.proto_crop_bce_sum, rl, prl, image, gt, bounds)
    close(got_p, want)
    if n:
        gp, gg = torch.autograd.grad(got, [pl, gl])
        close(gg, wants[2])
        # d/d rows and d/d protos through the product, from d/d pm
        close(torch.einsum("nhw,nphw->np", gp, protos[image]), wants[0])
        gr, gpr = torch.autograd.grad(got_p, [rl, prl])
        close(gr, wants[0])
        close(gpr, wants[1])
    with pytest.raises(RuntimeError, match="gt must not require grad"):
        ops.proto_crop_bce_sum(rl, prl, image, leaf(gt), bounds)


def test_crop_bce_operators_fake_shapes():
    rows, protos, image, gt, bounds = crop_case(3)
    pm = torch.einsum("np,nphw->nhw", rows, protos[image])
    meta = lambda *a: [t.to("meta") for t in a]  # noqa: E731
    g = torch.ones((), device="meta")
    assert ops.crop_bce_sum(*meta(pm, gt, bounds)).shape == ()
    gp, gg = ops.crop_bce_sum_backward(g, *meta(pm, gt, bounds), [True, False])
    assert gp.shape == pm.shape and gg is None
    assert ops.proto_crop_bce_sum(*meta(rows, protos, image, gt, bounds)).shape == ()
    gr, gpr = ops.proto_crop_bce_sum_backward(g, *meta(rows, protos, image, gt, bounds),
                                              [True, True])
    assert gr.shape == rows.shape and gpr.shape == protos.shape


def box_case(seed, B=2, A=30, nc=3, npos=8):
    g = torch.Generator().manual_seed(seed)
    xy = torch.rand(B, A, 2, generator=g) * 50
    pred = torch.cat([xy, xy + 1 + torch.rand(B, A, 2, generator=g) * 20], -1)
    txy = xy + torch.randn(B, A, 2, generator=g)
    target = torch.cat([txy, txy + 1 + torch.rand(B, A, 2, generator=g) * 20], -1)
    fg = torch.zeros(B * A, dtype=torch.bool)
    fg[torch.randperm(B * A, generator=g)[:npos]] = True
    scores = torch.rand(B, A, nc, generator=g) * fg.view(B, A, 1)
    return pred, target, scores, fg.view(B, A)


@pytest.mark.parametrize("floor", [0.0, 0.3])
@pytest.mark.parametrize("npos", [8, 0])
def test_box_loss_operator(floor, npos, run):
    """box_loss is the criterion's CIoU box loss over the positives (weights
    floored and renormalised, or divided by the classification normaliser),
    with its gradient; `any` is False and the loss 0 without positives."""
    pred, target, scores, fg = box_case(npos, npos=npos)
    norm = torch.tensor(3.5)
    pl = leaf(pred)
    loss, any_ = run(lambda p: ops.box_loss(p, target, scores, fg, norm, floor), pl)
    assert bool(any_) == (npos > 0)
    if not npos:
        assert float(loss.detach()) == 0.0
        return
    pd = leaf(pred.double())
    iou = L.ciou(pd[fg], target[fg].double()).double()
    w = scores[fg].sum(-1).double()
    if floor > 0:
        w = w.clamp_min(floor)
        want = ((1 - iou) * w).sum() / w.sum().clamp_min(1)
    else:
        want = ((1 - iou) * w).sum() / norm
    close(loss, want)
    close(torch.autograd.grad(loss, [pl])[0], torch.autograd.grad(want, [pd])[0])
    with pytest.raises(RuntimeError, match="fg_mask must be"):
        ops.box_loss(pred, target, scores, fg.flatten(), norm, floor)
