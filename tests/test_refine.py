"""RefineHead: a trainable torch.nn.Module, Python methods around the head's
operators, that follows the refine-head contract of the postprocess and the
criterion."""
import copy
import inspect
import pickle

import pytest
import torch
from torch.utils._python_dispatch import TorchDispatchMode
from torchvision.ops import roi_align

import halcyra
from bench import ref_predict as ref
from bench.bench_predict import Recorder  # not the head as shipped: all coarse logits
from halcyra.infer import predict as P
from halcyra.models import refine as R
from halcyra.models.refine import RefineHead


def test_class_contract():
    assert issubclass(RefineHead, torch.nn.Module) and RefineHead.__module__ == "halcyra.models.refine"
    assert str(inspect.signature(RefineHead)) == (
        "(in_ch: int = 96, roi: int = 28, hidden: int = 64, min_side: float = 4.0)")
    head = RefineHead(8, roi=5, hidden=6)
    assert head.roi == 5 and type(head.roi) is int and head.min_side == 4.0
    assert list(head.state_dict()) == ["reduce.weight", "reduce.bias", "body.0.weight",
                                       "body.0.bias", "body.2.weight", "body.2.bias",
                                       "out.weight", "out.bias"]
    clone = pickle.loads(pickle.dumps(head))
    assert type(clone) is RefineHead and clone.roi == 5
    assert copy.deepcopy(head).state_dict()["body.0.weight"].equal(head.body[0].weight)
    assert "roi=5" in repr(head)
    with pytest.raises(TypeError):
        RefineHead(wrong=1)
    with pytest.raises(TypeError, match=r"^RefineHead\(\): argument 'min_side' must be a number, not str$"):
        RefineHead(min_side="4")
    for roi in (0, -3):
        with pytest.raises(ValueError, match=r"^RefineHead\(\): roi must be at least 1$"):
            RefineHead(roi=roi)
    # integer tensors are integers (as operator.index takes them)
    assert RefineHead(8, roi=torch.tensor(5), hidden=6).roi == 5
    with pytest.raises(TypeError, match=r"^RefineHead\(\): argument 'roi' must be int, not float$"):
        RefineHead(roi=5.0)

    class Sub(RefineHead):
        def sanitize(self, boxes, size, stride):
            return super().sanitize(boxes, size, stride) + 1

    assert Sub(8, 5, 6).sanitize(torch.zeros(1, 4), (10, 10), 2.0).tolist() == [[1, 1, 5, 5]]


def test_a_seed_gives_the_initial_weights_it_always_gave():
    """The body's second convolution draws its initial weights before the
    first (the order the head has always drawn them in); the output
    convolution starts at zero."""
    torch.manual_seed(5)
    head = RefineHead(4, roi=3, hidden=6)
    torch.manual_seed(5)
    reduce = torch.nn.Conv2d(4, 6, 1)
    second, first = torch.nn.Conv2d(6, 6, 3, padding=1), torch.nn.Conv2d(7, 6, 3, padding=1)
    for mine, want in ((head.reduce, reduce), (head.body[0], first), (head.body[2], second)):
        assert torch.equal(mine.weight, want.weight) and torch.equal(mine.bias, want.bias)
    assert not head.out.weight.any() and not head.out.bias.any()


def test_sanitize_clips_orders_and_widens(run):
    head = RefineHead(min_side=4.0)
    nan, inf = float("nan"), float("inf")
    boxes = torch.tensor([[10.0, 20.0, 100.0, 200.0], [30.0, 5.0, 10.0, 6.0], [-5.0, 630.0, 900.0, 641.0],
                          [nan, inf, -inf, nan], [638.5, 0.0, 639.0, 1.0]])
    out = run(head.sanitize, boxes, (320, 320), 2.0)
    assert out.tolist() == [[10, 20, 100, 200], [10, 3.5, 30, 7.5], [0, 630, 640, 640],
                            [0, 0, 4, 640], [636, 0, 640, 4]]
    assert out.dtype == torch.float32
    assert head.sanitize(torch.zeros(0, 4), (4, 6), 2.0).shape == (0, 4)
    # An extent smaller than min_side: the whole extent.
    assert head.sanitize(torch.tensor([[0.0, 0.0, 1.0, 1.0]]), (1, 1), 2.0).tolist() == [[0, 0, 2, 2]]
    # sizes and stride as tensor numbers; anything else that is not a number is a TypeError
    assert torch.equal(head.sanitize(boxes, (torch.tensor(320), 320), torch.tensor(2.0)), out)

    class Two(float):      # a float subclass counts by its value, as arithmetic takes it
        def __float__(self):
            return 3.0

    assert torch.equal(head.sanitize(boxes, (320, 320), Two(2.0)), out)
    with pytest.raises(TypeError, match=r"^sanitize\(\): argument 'size' must be a number, not str$"):
        head.sanitize(boxes, ("320", 320), 2.0)
    with pytest.raises(TypeError, match=r"^sanitize\(\): argument 'stride' must be a number, not NoneType$"):
        head.sanitize(boxes, (320, 320), None)


def test_new_head_reproduces_the_coarse_logits_in_each_region(run):
    torch.manual_seed(0)
    head = RefineHead(in_ch=6, roi=9, hidden=8)
    seen = []
    head.reduce.register_forward_hook(lambda m, i, o: seen.append(o.shape))
    f2 = torch.randn(2, 6, 32, 48)                    # stride 4: input 128 x 192 pixels
    coarse = torch.randn(3, 16, 24)                   # prototype grid: 8 input pixels a cell
    boxes = torch.tensor([[10.0, 12.0, 90.0, 70.0], [0.0, 0.0, 192.0, 128.0], [50.0, 5.0, 60.0, 9.0]])
    bidx = torch.tensor([1, 0, 1])
    out = run(head, f2, coarse, boxes, bidx, 4.0)
    assert out.shape == (3, 9, 9) and seen == [(3, 8, 9, 9)]
    rois = torch.cat([torch.arange(3.0)[:, None], boxes / 8.0], 1)
    want = roi_align(coarse[:, None], rois, (9, 9), spatial_scale=1.0, sampling_ratio=2, aligned=True)
    torch.testing.assert_close(out, want[:, 0])
    empty = head(f2, coarse[:0], boxes[:0], bidx[:0], 4.0)
    assert empty.shape == (0, 9, 9)


def test_training_step_and_unsafe_inputs(run, sound_convolutions):
    # (the head learns through torch's convolution gradients: with oneDNN off
    # where torch computes them wrong on this machine)
    torch.manual_seed(1)
    head = RefineHead(in_ch=4, roi=7, hidden=8)
    f2 = torch.randn(1, 4, 16, 16)
    coarse = torch.randn(2, 16, 16, requires_grad=True)
    boxes = head.sanitize(torch.tensor([[2.0, 2.0, 20.0, 24.0], [5.0, 1.0, 9.0, 30.0]]), (16, 16), 2.0)
    bidx = torch.zeros(2, dtype=torch.long)
    target = torch.rand(2, 7, 7)
    opt = torch.optim.SGD(head.parameters(), lr=0.5)
    losses = []
    for _ in range(3):
        opt.zero_grad()
        loss = torch.nn.functional.binary_cross_entropy_with_logits(
            run(head, f2, coarse, boxes, bidx, 2.0), target)
        loss.backward()
        opt.step()
        losses.append(loss.item())
    assert losses[-1] < losses[0] and coarse.grad.abs().sum() > 0
    assert all(p.grad is not None for p in head.parameters())
    weird = torch.tensor([[float("nan"), 0.0, float("inf"), 1e30], [-1e30, 2.0, 3.0, 4.0]])
    assert torch.isfinite(head(f2, coarse, weird, bidx, 2.0)).all()
    with pytest.raises(IndexError):
        head(f2, coarse, boxes, torch.tensor([0, 1]), 2.0)
    with pytest.raises(ValueError):
        head(f2, coarse, boxes[:1], bidx, 2.0)


def test_postprocess_with_refine_head_matches_reference():
    torch.manual_seed(2)
    head = RefineHead(in_ch=4, roi=7, hidden=8).eval()
    with torch.no_grad():
        head.out.weight.normal_()
    a = 84
    preds = {"feat_shapes": [(8, 8), (4, 4), (2, 2)], "cls_raw": torch.randn(2, a, 3),
             "box_raw": torch.randn(2, a, 4) + 1, "coef": torch.randn(2, a, 4),
             "protos": torch.randn(2, 4, 32, 32), "f2": torch.randn(2, 4, 32, 32)}
    got = P.postprocess(preds, conf_thres=0.3, input_size=64, refine=head)
    want = ref.postprocess(preds, conf_thres=0.3, input_size=64, refine=head)
    for g, w in zip(got, want):
        assert torch.equal(g["masks"], w["masks"]) and g["masks"].any()
    assert R.roi_align is roi_align


# ---- postprocess with the shipped head: coarse logits only where the head samples them ----

class CoarseSamples(TorchDispatchMode):
    """The region samples of the coarse logits (roi_align over one channel) as computed."""

    def __init__(self):
        super().__init__()
        self.seen = []

    def __torch_dispatch__(self, func, types, args=(), kwargs=None):
        out = func(*args, **(kwargs or {}))
        if "roi_align" in str(func) and args[0].shape[1] == 1:
            self.seen.append((args[1].clone(), out.clone()))
        return out


def refine_preds(seed, s, h2, w2, hm, wm, b=2, a=84):
    g = torch.Generator().manual_seed(seed)
    return {"feat_shapes": [(8, 8), (4, 4), (2, 2)], "cls_raw": torch.randn(b, a, 3, generator=g),
            "box_raw": torch.randn(b, a, 4, generator=g) * 1.5 + 1.5,
            "coef": torch.randn(b, a, 5, generator=g), "protos": torch.randn(b, 5, hm, wm, generator=g),
            "f2": torch.randn(b, 4, h2, w2, generator=g)}


def regions_profiled(fn):
    with torch.profiler.profile() as prof:
        out = fn()
    return out, {e.key for e in prof.key_averages()}


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("s,h2,w2,hm,wm", [(64, 32, 32, 32, 32), (128, 64, 64, 16, 16),
                                           (100, 33, 33, 50, 50), (64, 20, 32, 12, 40)])
def test_partial_coarse_logits_give_the_same_samples_and_masks(threads, s, h2, w2, hm, wm):
    torch.manual_seed(s + hm)
    head = RefineHead(in_ch=4, roi=6, hidden=8, min_side=3.0).eval()
    with torch.no_grad():
        head.out.weight.normal_()
    preds = refine_preds(hm, s, h2, w2, hm, wm)
    kw = dict(conf_thres=0.2, input_size=s, refine=head)
    before = torch.get_num_threads()
    torch.set_num_threads(threads)
    try:
        with CoarseSamples() as samples:
            got, names = regions_profiled(lambda: P.postprocess(preds, **kw))
        rec = Recorder(head)
        ref.postprocess(preds, **dict(kw, refine=rec))
    finally:
        torch.set_num_threads(before)
    # (HALCYRA_GENERIC=1: the whole product, as on other devices)
    partial = halcyra._generic != "1"
    assert ("halcyra::coarse_blocks" in names) == partial
    assert ("halcyra::coarse_product" not in names) == partial
    want = ref.postprocess(preds, **kw)
    for g, w in zip(got, want):
        assert torch.equal(g["masks"], w["masks"]) and g["masks"].any() and not g["masks"].all()
    # What the head sampled from the partial logits is what it samples from the full ones.
    assert len(samples.seen) == len(rec.calls) == 2
    for (rois, out), (f2, coarse, boxes, bidx, stride) in zip(samples.seen, rec.calls):
        full = roi_align(coarse[:, None], rois, (6, 6), spatial_scale=1.0, sampling_ratio=2,
                         aligned=True)
        assert torch.equal(out, full) and len(boxes) > 3


def test_partial_coarse_logits_only_for_the_head_as_shipped(monkeypatch):
    preds = refine_preds(1, 64, 32, 32, 32, 32)
    kw = dict(conf_thres=0.2, input_size=64)
    torch.manual_seed(0)
    head = RefineHead(in_ch=4, roi=6, hidden=8).eval()

    class Sub(RefineHead):
        pass

    sub = Sub(in_ch=4, roi=6, hidden=8).eval()
    sub.load_state_dict(head.state_dict())
    hooked = copy.deepcopy(head)
    seen = []
    hooked.register_forward_pre_hook(lambda mod, args: seen.append(args[1].clone()))
    want = ref.postprocess(preds, refine=head, **kw)
    for h in (sub, hooked):
        got, names = regions_profiled(lambda: P.postprocess(preds, refine=h, **kw))
        assert "halcyra::coarse_blocks" not in names
        assert all(torch.equal(g["masks"], w["masks"]) for g, w in zip(got, want))
    assert all(c.isfinite().all() for c in seen)   # the hook saw the full logits
    # a forward assigned to the class, then the module's own again
    own = RefineHead.forward
    for forward, partial in ((lambda self, *a: own(self, *a), False), (own, halcyra._generic != "1")):
        monkeypatch.setattr(RefineHead, "forward", forward)
        got, names = regions_profiled(lambda: P.postprocess(preds, refine=head, **kw))
        assert ("halcyra::coarse_blocks" in names) == partial
        assert all(torch.equal(g["masks"], w["masks"]) for g, w in zip(got, want))
    monkeypatch.setattr(R, "roi_align", lambda *a, **k: roi_align(*a, **k))
    got, names = regions_profiled(lambda: P.postprocess(preds, refine=head, **kw))
    assert "halcyra::coarse_blocks" not in names
    assert all(torch.equal(g["masks"], w["masks"]) for g, w in zip(got, want))
def half_clamp_on_cpu():
    """torch 1.13 has no half clamp on the CPU (the head then raises RuntimeError)."""
    try:
        torch.zeros(1, dtype=torch.half).clamp(0, 1)
        return True
    except RuntimeError:
        return False


def test_inputs_that_cannot_be_sampled_raise():
    """Zero-size maps, a stride whose reciprocal overflows f2's dtype and region
    indices out of range (as the sampler reads them) raise before anything is
    sampled; they used to make the sampler read outside its input."""
    torch.manual_seed(3)
    head = RefineHead(in_ch=3, roi=5, hidden=4)
    box = torch.tensor([[0.0, 0.0, 4.0, 4.0]])
    zero = torch.zeros(1, dtype=torch.long)
    f2, coarse = torch.randn(1, 3, 6, 6), torch.randn(1, 6, 6)
    for bad_f2 in (torch.randn(1, 3, 0, 4), torch.randn(1, 2, 12, 0)[:, :1].expand(1, 3, 12, 0)):
        with pytest.raises(ValueError, match="f2 has no cells"):
            head(bad_f2, coarse, box, zero, 2.0)
    for bad_coarse in (torch.randn(1, 0, 11), torch.randn(1, 7, 0)):
        with pytest.raises(ValueError, match="coarse has no cells"):
            head(f2, bad_coarse, box, zero, 2.0)
    # no regions: nothing is sampled, whatever the maps' sizes
    assert head(torch.randn(1, 3, 0, 4), torch.randn(0, 0, 3), box[:0], zero[:0], 2.0).shape == (0, 5, 5)
    with pytest.raises(ValueError, match="stride"):
        head(f2, coarse, box, zero, 1e-300)
    with pytest.raises(ValueError, match="stride"):
        head(f2.half(), coarse, box, zero, 1e-5)
    for bidx in (torch.tensor([-1]), torch.tensor([1]), torch.tensor([-0.5]), torch.tensor([float("nan")])):
        with pytest.raises(IndexError, match="bidx"):
            head(f2, coarse, box, bidx, 2.0)
    # more regions than bfloat16 numbers exactly (259 rounds up to 260)
    n = 260
    with pytest.raises(IndexError, match="more regions than f2's dtype can number"):
        head.bfloat16()(f2.bfloat16(), torch.randn(n, 2, 2), box.expand(n, 4), zero.expand(n), 2.0)
    head.float()
    # integer maps: the sampler's own RuntimeError
    with pytest.raises(RuntimeError, match="roi_align"):
        head(f2.long(), coarse, box, zero, 2.0)
    if half_clamp_on_cpu():
        # more regions than half precision numbers exactly (2051 rounds up to 2052)
        n = 2052
        with pytest.raises(IndexError, match="regions"):
            head.half()(f2.half(), torch.randn(n, 2, 2), box.expand(n, 4), zero.expand(n), 2.0)


def test_region_operator_checks_and_shapes_as_the_head():
    """The operator the traced forward calls raises the head's errors, and its
    fake kernel gives the region rows' shapes."""
    head = RefineHead(in_ch=3, roi=5, hidden=4)
    box, zero = torch.tensor([[0.0, 0.0, 4.0, 4.0]]), torch.zeros(1, dtype=torch.long)
    f2, coarse = torch.randn(1, 3, 6, 6), torch.randn(1, 6, 6)
    bad = [(torch.randn(1, 3, 0, 4), coarse, box, zero, 2.0), (f2, torch.randn(1, 7, 0), box, zero, 2.0),
           (f2, coarse, box, zero, 0.0), (f2, coarse, box, torch.tensor([1]), 2.0),
           (f2, coarse, box[:, :3], zero, 2.0), (f2, coarse[0], box, zero, 2.0)]
    for args in bad:
        with pytest.raises((ValueError, IndexError)) as want:
            head(*args)
        with pytest.raises(want.type) as got:
            torch.ops.halcyra.refine_rois(*args)
        assert str(got.value).startswith(str(want.value))
    feat, reg = torch.ops.halcyra.refine_rois(f2.to("meta"), coarse.expand(4, 6, 6).to("meta"),
                                              box.expand(4, 4).to("meta"), zero.expand(4).to("meta"), 2.0)
    assert feat.shape == reg.shape == (4, 5) and feat.dtype == f2.dtype
    feat, reg = torch.ops.halcyra.refine_rois(f2, coarse, box, zero, 2.0)
    assert feat.tolist() == [[0.0, 0.0, 0.0, 4.0, 4.0]] and reg.tolist() == [[0.0, 0.0, 0.0, 2.0, 2.0]]
    boxes = torch.tensor([[5.0, 1.0, 3.0, 2.0]])
    assert torch.equal(torch.ops.halcyra.sanitize_boxes(boxes, 12.0, 12.0, head.min_side),
                       head.sanitize(boxes, (6, 6), 2.0))
    with pytest.raises(ValueError, match="boxes must have shape"):
        torch.ops.halcyra.sanitize_boxes(boxes[:, :3], 12.0, 12.0, 4.0)


def test_extreme_boxes_and_strides_stay_finite():
    """NaN, infinite and huge corners, in every dtype and at extreme strides,
    reach the sampler as finite coordinates: finite results."""
    torch.manual_seed(4)
    head = RefineHead(in_ch=3, roi=5, hidden=4)
    boxes = torch.tensor([[float("nan"), 0.0, float("inf"), 1e30], [-1e30, -float("inf"), 3.0, 4.0],
                          [1e38, 1e38, 3e38, 3e38]])
    bidx = torch.zeros(3, dtype=torch.long)
    cases = [(torch.float32, 1e-30), (torch.float32, 2.0), (torch.float32, 1e30), (torch.float64, 1e-300)]
    if half_clamp_on_cpu():
        cases += [(torch.float16, 1e-4), (torch.float16, 2.0)]
    for dtype, stride in cases:
        h = head.to(dtype)
        out = h(torch.randn(1, 3, 6, 6, dtype=dtype), torch.randn(3, 6, 6), boxes, bidx, stride)
        assert out.shape == (3, 5, 5) and torch.isfinite(out).all(), (dtype, stride)
