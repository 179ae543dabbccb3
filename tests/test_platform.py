"""What depends on the installed torch: saving and loading whole modules and
state dicts, torch.jit.trace, torch.profiler region names, and (torch 2.x)
torch.compile of the functions, of a model holding the neck, of a training
step with the criterion, and of inference with the postprocess."""
import io
import os
import pickle
import sys
import warnings

import pytest
import torch

import halcyra

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "examples"))

import demo  # noqa: E402
import demo_data as data  # noqa: E402
from demo_model import DemoDetector  # noqa: E402
from halcyra.infer import decode as D  # noqa: E402
from halcyra.infer import predict as P  # noqa: E402
from halcyra.losses import assigner as AS  # noqa: E402
from halcyra.losses import losses as L  # noqa: E402
from halcyra.models import neck as N  # noqa: E402
from halcyra.models.refine import RefineHead  # noqa: E402

# torch 2.14's compiler, under Python 3.14, checks values against a typing
# class that Python deprecates: its warning, not ours.
pytestmark = pytest.mark.filterwarnings(
    "ignore:'_UnionGenericAlias' is deprecated:DeprecationWarning:torch._dynamo")
needs_compile = pytest.mark.skipif(not hasattr(torch, "compile"),
                                   reason="this torch has no torch.compile")
SIZE = 64


def neck_inputs(b=1, size=SIZE):
    g = torch.Generator().manual_seed(3)
    return [torch.randn(b, c, size // s, size // s, generator=g)
            for c, s in [(64, 2), (18, 4), (36, 8), (72, 16), (144, 32)]]


@pytest.fixture(scope="module")
def setup():
    """The demo's model, criterion (holding the model's refine head, no ROI
    jitter so that runs compare) and a batch of 2 images."""
    torch.manual_seed(0)
    ls = data.LabelSpace()
    model = DemoDetector(nc=ls.num_categories, num_kpts=data.NUM_KPTS, n_pline=data.N_PLINE,
                         num_tags=len(data.TAG_NAMES))
    crit = L.MultiTaskCriterion(demo.model_config(SIZE), ls, refine=model.refine)
    ds = data.SynthDataset(2, seed=1, split="train", size=SIZE)
    images, batch = data.collate([ds[0], ds[1]])
    return model, crit, images, batch


def infer(model, images):
    return P.postprocess(model(images), conf_thres=0.001, num_kpts=data.NUM_KPTS,
                         n_pline=data.N_PLINE, input_size=SIZE, refine=model.refine,
                         box_offset=demo.BOX_OFFSET)


def assert_same_detections(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert list(g) == list(w)
        for k in w:
            assert torch.equal(g[k], w[k]), k


# ------------------------------------------------------------------ saving and loading
def default_load_refuses_modules():
    """Whether torch.load without weights_only refuses a pickled torch.nn.Module."""
    buf = io.BytesIO()
    torch.save(torch.nn.Linear(2, 1), buf)
    buf.seek(0)
    try:
        torch.load(buf)
    except pickle.UnpicklingError:
        return True
    return False


def test_whole_modules_and_state_dicts_save_and_load(setup):
    model, crit, images, batch = setup
    neck = N.HRNeckLite().eval()
    ys = neck_inputs()
    # torch.load's default refuses whole modules where this torch loads only
    # weights by default (2.6 on): ours exactly where a plain nn.Module is.
    refused = default_load_refuses_modules()
    for obj in (neck, crit):
        buf = io.BytesIO()
        torch.save(obj, buf)
        buf.seek(0)
        back = torch.load(buf, weights_only=False)
        assert type(back) is type(obj)
        buf.seek(0)
        try:
            torch.load(buf)
        except pickle.UnpicklingError as e:
            assert refused and "weights_only" in str(e)
        else:
            assert not refused
    with torch.no_grad():
        want = neck(ys)
        buf = io.BytesIO()
        torch.save(neck, buf)
        buf.seek(0)
        got = torch.load(buf, weights_only=False)(ys)
        assert all(torch.equal(got[k], want[k]) for k in want)
    # State dicts (tensors only) load under weights_only=True, and by default.
    buf = io.BytesIO()
    torch.save(model.state_dict(), buf)
    for kw in ({"weights_only": True}, {}):
        buf.seek(0)
        fresh = DemoDetector(nc=model.nc, num_kpts=model.num_kpts, n_pline=model.n_pline,
                             num_tags=model.tag_out.out_features)
        fresh.load_state_dict(torch.load(buf, **kw))
        assert all(torch.equal(a, b) for a, b in zip(fresh.state_dict().values(),
                                                      model.state_dict().values()))
    # the criterion saves only the refine head it holds (its own buffers are not persistent)
    assert all(k.startswith("refine_head.") for k in crit.state_dict())


# ------------------------------------------------------------------ tracing and profiling
def test_jit_trace_of_a_model_holding_the_neck(setup, sound_convolutions):
    # (the traced and the eager run compare torch's own convolutions, which
    # some CPUs' oneDNN computes wrong: NaN blocks of f2's channels seen)
    model = setup[0]

    class Features(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.trunk, self.neck = model.trunk, model.neck

        def forward(self, x):
            out = self.neck(self.trunk(x))
            return out["p3"], out["f2"]

    f = Features().eval()
    with torch.no_grad(), warnings.catch_warnings():
        # torch 2.14 on Python 3.14 warns that tracing is unsupported there and
        # may break: this test is what shows that it works
        warnings.filterwarnings("ignore", r"`torch\.jit\.trace(_method)?` is not supported",
                                FutureWarning)
        traced = torch.jit.trace(f, torch.randn(1, 3, SIZE, SIZE))
        x = torch.randn(2, 3, SIZE, SIZE)
        for a, b in zip(traced(x), f(x)):
            torch.testing.assert_close(a, b, rtol=1e-5, atol=1e-5)


def test_profiler_names_entry_points_and_kernels(setup):
    model, crit, images, batch = setup
    model.train()
    with torch.profiler.profile(activities=[torch.profiler.ProfilerActivity.CPU]) as prof:
        total, _ = crit(model(images), batch)
        total.backward()
        model.eval()
        with torch.no_grad():
            infer(model, images)
        model.train()
        D.decode_points(torch.randn(1, 4, 6), torch.rand(4, 2), torch.ones(4), 3)
    names = {e.name for e in prof.events()}
    for want in ["halcyra::HRNeckLite.forward", "halcyra::flatten_preds",
                 "halcyra::MultiTaskCriterion.forward", "halcyra::MultiTaskCriterion._mask_loss",
                 "halcyra::assign", "halcyra::RefineHead.forward", "halcyra::postprocess",
                 "halcyra::decode_points", "halcyra::upsample_cat_kernel"]:
        assert want in names, want
    # The fused CPU kernels, none of which runs under HALCYRA_GENERIC=1 (the
    # concatenation above is then the view-and-copy form of other devices).
    for kernel in ["halcyra::upsample_cat_backward_kernel", "halcyra::assign_kernel",
                   "halcyra::decode_points_kernel"]:
        assert (kernel in names) == (halcyra._generic != "1"), kernel


# ------------------------------------------------------------------ torch.compile
def graph_breaks():
    from torch._dynamo.utils import counters
    return sum(counters["graph_break"].values())


def fresh_compile():
    import torch._dynamo
    from torch._dynamo.utils import counters
    torch._dynamo.reset()
    counters.clear()


def halcyra_breaks():
    """Graph breaks since fresh_compile(), less those at Tensor.backward()."""
    from torch._dynamo.utils import counters
    return sum(n for reason, n in counters["graph_break"].items()
               if "backward" not in reason)


@needs_compile
def test_decode_compiles_into_one_graph():
    """The decode functions call their dispatcher operators while traced:
    fullgraph compiles, values and gradients as in eager mode."""
    points, strides = D.make_anchors([(4, 4), (2, 2)])
    g = torch.Generator().manual_seed(0)
    maps = [torch.randn(2, 10, 4, 4, generator=g), torch.randn(2, 10, 2, 2, generator=g)]

    def f(maps, points, strides):
        flat = torch.cat([D.flatten_preds(m) for m in maps], 1)
        boxes = D.decode_boxes(flat[..., :4], points, strides, 0.5)
        plain = D.decode_boxes(flat[..., :4], points, strides)
        pts = D.decode_points(flat[..., 4:], points, strides, 3)
        return boxes.sum(-1) + plain.mean(-1), pts

    fresh_compile()
    cf = torch.compile(f, fullgraph=True)
    leaves = [m.clone().requires_grad_() for m in maps]
    got = cf(leaves, points, strides)
    want = f(maps, points, strides)
    for a, b in zip(got, want):
        torch.testing.assert_close(a, b, rtol=1e-6, atol=1e-5)
    (got[0].sum() + got[1].sum()).backward()
    eager = [m.clone().requires_grad_() for m in maps]
    w = f(eager, points, strides)
    (w[0].sum() + w[1].sum()).backward()
    for a, b in zip(leaves, eager):
        torch.testing.assert_close(a.grad, b.grad, rtol=1e-6, atol=1e-6)
    assert graph_breaks() == 0


@needs_compile
def test_anchors_compile_into_the_graph():
    """make_anchors with plain sizes and strides is traced into the graph;
    other arguments (a generator, a tensor stride, an integer dtype) give the
    same results and errors as eagerly."""
    shapes = [(4, 3), (2, 2), (1, 1)]

    def f(raw, dtype):
        points, strides = D.make_anchors(shapes, (8, 16.0), dtype=dtype)
        return D.decode_boxes(raw, points.float(), strides.float(), 0.5), points, strides

    raw = torch.randn(2, 16, 4)
    fresh_compile()
    for dtype in (torch.float32, torch.float64):
        (boxes, *anchors), (want_boxes, *want) = torch.compile(f, fullgraph=True)(raw, dtype), \
            f(raw, dtype)
        for a, b in zip(anchors, want):          # the grid is exact in any backend
            assert a.dtype == b.dtype and torch.equal(a, b)
        torch.testing.assert_close(boxes, want_boxes, rtol=1e-6, atol=1e-5)
    assert graph_breaks() == 0

    def g(kind):
        if kind == "generator":
            return D.make_anchors(((h, w) for h, w in shapes), (8, 16, 32))
        if kind == "tensor stride":
            return D.make_anchors(shapes, (8, torch.tensor(16), 32))
        return D.make_anchors(shapes, dtype=torch.int64)

    cg = torch.compile(g)
    for kind in ("generator", "tensor stride"):
        for a, b in zip(cg(kind), g(kind)):
            assert a.dtype == b.dtype and torch.equal(a, b), kind
        assert cg(kind)[0].shape == (17, 2)
    with pytest.raises(RuntimeError) as compiled_error:
        cg("int")
    with pytest.raises(RuntimeError) as eager_error:
        g("int")
    # the operator's own error, reported through the compiler (which adds where it ran)
    assert str(eager_error.value) in str(compiled_error.value)
    with pytest.raises(ValueError, match="not enough values to unpack"):
        torch.compile(lambda: D.make_anchors([(4,)]))()


@needs_compile
def test_box_and_dice_losses_compile_into_one_graph():
    g = torch.Generator().manual_seed(2)
    xy = torch.rand(50, 2, generator=g) * 40
    b1 = torch.cat([xy, xy + torch.rand(50, 2, generator=g) * 20], 1)
    b2 = b1 + torch.randn(50, 4, generator=g)
    logits, targets = torch.randn(6, 8, 8, generator=g), (torch.rand(6, 8, 8, generator=g) > 0.5)

    def f(b1, b2, logits, targets):
        return (1 - L.ciou(b1, b2)).mean() + L.dice_loss(logits, targets.float(), 0.5)

    fresh_compile()
    results = []
    for fn in (f, torch.compile(f, fullgraph=True)):
        x, y = b1.clone().requires_grad_(), logits.clone().requires_grad_()
        loss = fn(x, b2, y, targets)
        loss.backward()
        results.append((loss.detach(), x.grad, y.grad))
    for a, b in zip(*results):
        torch.testing.assert_close(a, b, rtol=1e-5, atol=1e-6)
    assert graph_breaks() == 0


def every_call():
    """One valid call of every public callable of the package."""
    g = torch.Generator().manual_seed(1)
    points, strides = D.make_anchors([(4, 4), (2, 2)])
    a = points.shape[0]
    raw = torch.randn(1, a, 4, generator=g)
    head = RefineHead(in_ch=4, roi=7, hidden=4).eval()
    boxes = torch.tensor([[2.0, 2.0, 20.0, 24.0], [8.0, 1.0, 30.0, 12.0]])
    f2, coarse = torch.randn(1, 4, 16, 16, generator=g), torch.randn(2, 16, 16, generator=g)
    scores = torch.rand(1, a, 3, generator=g)
    gt = torch.tensor([[[1.0, 1.0, 20.0, 20.0], [0.0, 0.0, 0.0, 0.0]]])
    preds = {"feat_shapes": [(4, 4), (2, 2)], "cls_raw": torch.randn(1, a, 3, generator=g) + 2,
             "box_raw": raw}
    x, praw = torch.randn(1, 3, 2, 2, generator=g), torch.randn(1, a, 4, generator=g)
    ys = neck_inputs()       # made here: a generator inside compiled code is a graph break
    return {
        "flatten_preds": lambda: D.flatten_preds(x),
        "make_anchors": lambda: D.make_anchors([(3, 2)], (8,)),
        "decode_boxes (tensor offset)": lambda: D.decode_boxes(raw, points, strides,
                                                               torch.tensor(0.5)),
        "decode_points": lambda: D.decode_points(praw, points, strides, 2),
        "_conv_bn_silu": lambda: N._conv_bn_silu(3, 4, 1)[0].weight.shape,
        "HRNeckLite": lambda: N.HRNeckLite().eval()(ys),
        "RefineHead.sanitize": lambda: head.sanitize(boxes, (16, 16), 2),
        "RefineHead.forward": lambda: head(f2, coarse, boxes, torch.tensor([0, 0]), 2),
        "ciou": lambda: L.ciou(boxes, boxes.flip(0)),
        "dice_loss": lambda: L.dice_loss(coarse, coarse.sigmoid().round()),
        "_jitter_rois": lambda: L._jitter_rois(boxes, 0.0),
        "assign": lambda: AS.assign(scores, D.decode_boxes(raw, points, strides), points, gt,
                                    torch.tensor([[1, 0]]), torch.tensor([[True, False]]), None),
        "postprocess": lambda: P.postprocess(preds, conf_thres=0.5),
    }


@needs_compile
@pytest.mark.parametrize("name", list(every_call()))
def test_every_callable_runs_compiled(name):
    """Each callable, inside a compiled function, gives what it gives eagerly:
    opaque calls are graph breaks, never errors."""
    call = every_call()[name]
    fresh_compile()
    torch.manual_seed(0)
    want = call()
    torch.manual_seed(0)
    got = torch.compile(call, backend="eager")()
    assert_tree_equal(got, want)


def assert_tree_equal(got, want):
    if isinstance(want, dict):
        assert list(got) == list(want)
        for k in want:
            assert_tree_equal(got[k], want[k])
    elif isinstance(want, (list, tuple)):
        assert len(got) == len(want)
        for a, b in zip(got, want):
            assert_tree_equal(a, b)
    elif isinstance(want, torch.Tensor):
        assert torch.equal(got, want)
    else:
        assert got == want


@needs_compile
def test_compiled_model_training_step_and_inference(setup, sound_convolutions):
    """The demo model (trunk, HRNeckLite, heads, refine head) compiled with the
    default backend for inference; a compiled training step through the
    criterion; postprocess inside a compiled function. Both sides run torch's
    convolutions, with oneDNN off where the run's check found them wrong."""
    model, crit, images, batch = setup
    model.eval()
    fresh_compile()
    with torch.no_grad():
        got, want = torch.compile(model)(images), model(images)
    for k in want:
        if isinstance(want[k], torch.Tensor):
            torch.testing.assert_close(got[k], want[k], rtol=1e-4, atol=1e-4)
        else:
            assert got[k] == want[k]

    fresh_compile()
    with torch.no_grad():
        assert_same_detections(torch.compile(infer, backend="aot_eager")(model, images),
                               infer(model, images))
    # postprocess's flow is one eager call: its only break, met in the caller's
    # frame and again in postprocess's own
    from torch._dynamo.utils import counters
    reasons = [r for r in counters["graph_break"] if "backward" not in r]
    assert reasons and all("__postprocess" in r for r in reasons), reasons
    assert halcyra_breaks() <= 2

    model.train()

    def step(images, batch):
        total, stats = crit(model(images), batch)
        total.backward()
        return total.detach(), stats

    fresh_compile()
    results = []
    for fn in (step, torch.compile(step, backend="aot_eager")):
        model.zero_grad(set_to_none=True)
        state = {k: v.clone() for k, v in model.state_dict().items()}
        torch.manual_seed(5)
        total, stats = fn(images, batch)
        results.append((total, stats, [p.grad.clone() for p in model.parameters()
                                       if p.grad is not None]))
        model.load_state_dict(state)       # batch-norm statistics as before the step
    # the criterion's forward compiles its detection terms (anchors, decode,
    # assign, classification and box losses) and makes one opaque call for the
    # per-task losses, counted once in the step's frame and once in forward's;
    # everything that call runs (the task losses, the refine head) compiles whole
    assert halcyra_breaks() <= 2
    (t0, s0, g0), (t1, s1, g1) = results
    torch.testing.assert_close(t1, t0, rtol=1e-5, atol=1e-6)
    assert list(s1) == list(s0)
    assert len(g1) == len(g0)
    for a, b in zip(g1, g0):
        torch.testing.assert_close(a, b, rtol=1e-4, atol=1e-5)


# ------------------------------------------------ postprocess exported
class Detect(torch.nn.Module):
    """A module whose forward runs the postprocess on raw predictions."""

    def __init__(self, refine=None):
        super().__init__()
        self.refine = refine

    def forward(self, cls_raw, box_raw, coef, protos, f2, kpt_raw, pline_raw, tag_logits):
        preds = {"feat_shapes": [(8, 8), (4, 4), (2, 2)], "cls_raw": cls_raw, "box_raw": box_raw,
                 "coef": coef, "protos": protos, "f2": f2, "kpt_raw": kpt_raw,
                 "pline_raw": pline_raw, "tag_logits": tag_logits}
        return P.postprocess(preds, conf_thres=0.3, max_det=20, num_kpts=2, n_pline=3,
                             input_size=SIZE, refine=self.refine, box_offset=0.5)


class PooledRefine(torch.nn.Module):
    """A refine head of tensor operations only: the coarse logits pooled per region."""

    def sanitize(self, boxes, size, stride):
        return boxes.clamp(0, size[1] * stride)

    def forward(self, f2, coarse, boxes, bidx, stride):
        return torch.nn.functional.adaptive_avg_pool2d(coarse[:, None], 7)[:, 0] * 1.5 + 0.2


def raw_predictions(seed, b=2, empty=None):
    g = torch.Generator().manual_seed(seed)
    a = 84
    shapes = [(b, a, 3), (b, a, 4), (b, a, 4), (b, 4, 32, 32), (b, 4, 32, 32), (b, a, 6),
              (b, a, 6), (b, 5)]
    raw = [torch.randn(*s, generator=g) for s in shapes]
    if empty is not None:
        raw[0][empty] = -20.0       # no candidate in that image
    return tuple(raw)


@pytest.mark.skipif(not hasattr(torch, "export"), reason="this torch has no torch.export")
@pytest.mark.parametrize("refine", [None, "pooled", "head"])
def test_postprocess_strict_export(refine):
    """torch.export with strict=True of a module whose forward calls postprocess
    (a fixed batch size): candidate selection and NMS run as operators with
    unbacked result sizes, so the one exported program gives eager mode's
    detections for inputs with other numbers of detections, an empty image
    among them; a refine head (the shipped one too) samples a data-dependent
    number of regions."""
    torch.manual_seed(0)
    heads = {None: None, "pooled": PooledRefine(), "head": RefineHead(in_ch=4, roi=7, hidden=8)}
    model = Detect(heads[refine]).eval()
    ep = torch.export.export(model, raw_predictions(0), strict=True)
    for inputs in (raw_predictions(0), raw_predictions(1), raw_predictions(2, empty=1)):
        want = model(*inputs)
        assert_same_detections(ep.module()(*inputs), want)
    assert [len(d["boxes"]) for d in want][1] == 0 and len(want[0]["boxes"]) > 0


@needs_compile
def test_postprocess_compiles_whole_where_data_dependent_sizes_are_captured():
    """torch.compile with capture_dynamic_output_shape_ops and
    capture_scalar_outputs set: a module whose forward calls postprocess
    compiles into one graph (fullgraph=True), with eager mode's detections."""
    import torch._dynamo as dynamo
    try:
        fresh_compile()
        with dynamo.config.patch(capture_dynamic_output_shape_ops=True,
                                 capture_scalar_outputs=True):
            model = Detect().eval()
            run = torch.compile(model, fullgraph=True, backend="aot_eager")
            for inputs in (raw_predictions(0), raw_predictions(2, empty=1)):
                assert_same_detections(run(*inputs), model(*inputs))
    finally:
        fresh_compile()


# ------------------------------------------------ the neck as one graph
class Holder(torch.nn.Module):
    """A model holding the neck, as users hold it."""

    def __init__(self, neck):
        super().__init__()
        self.neck = neck

    def forward(self, ys):
        return self.neck(ys)


class DoubledNeck(N.HRNeckLite):
    def forward(self, ys):
        out = super().forward(ys)
        out["p3"] = out["p3"] * 2
        return out


def neck_variants():
    """A plain neck, one with a replaced submodule, one subclass overriding
    forward, and one without mask features."""
    torch.manual_seed(0)
    replaced = N.HRNeckLite()
    replaced.smooths[1] = torch.nn.Identity()
    return {"plain": N.HRNeckLite(), "replaced": replaced, "subclass": DoubledNeck(),
            "no_mask": N.HRNeckLite(with_mask=False)}


@needs_compile
@pytest.mark.parametrize("variant", ["plain", "replaced", "subclass", "no_mask"])
@pytest.mark.parametrize("train", [False, True], ids=["eval", "train"])
def test_neck_compiles_into_one_graph(variant, train, sound_convolutions):
    """fullgraph=True of a model holding the neck: the values, gradients and
    batch-norm statistics of eager mode, and the forward hooks of its blocks
    fire in the compiled run too."""
    eager = Holder(neck_variants()[variant]).train(train)
    compiled_model = Holder(neck_variants()[variant]).train(train)
    compiled_model.load_state_dict(eager.state_dict())
    calls = []
    for m in (eager, compiled_model):
        m.neck.laterals[0].register_forward_hook(lambda mod, i, o: calls.append(o.shape))
    fresh_compile()
    run = torch.compile(compiled_model, fullgraph=True, backend="aot_eager")
    ys = neck_inputs(2)
    results = []
    for fn, model in ((eager, eager), (run, compiled_model)):
        xs = [y.clone().requires_grad_(train) for y in ys]
        with torch.set_grad_enabled(train):
            out = fn(xs)
        grads = []
        if train:
            sum(v.square().mean() for v in out.values()).backward()
            grads = [x.grad for x in xs] + [p.grad for p in model.parameters()]
        results.append((out, grads, [b.clone() for b in model.buffers()]))
    (out0, g0, b0), (out1, g1, b1) = results
    assert list(out1) == list(out0)
    for k in out0:
        torch.testing.assert_close(out1[k], out0[k], rtol=1e-5, atol=1e-5)
    for a, b in zip(g1 + b1, g0 + b0):
        torch.testing.assert_close(a, b, rtol=1e-4, atol=1e-5)
    assert len(calls) == 2 and calls[0] == calls[1]
    assert graph_breaks() == 0


@needs_compile
def test_neck_strict_export():
    """torch.export with strict=True of a model holding the neck (eval mode):
    one exported graph that gives eager mode's values, with its checkpoint
    names."""
    model = Holder(neck_variants()["plain"]).eval()
    ys = neck_inputs(1)
    ep = torch.export.export(model, (ys,), strict=True)
    want = model(ys)
    got = ep.module()(ys)
    assert list(got) == list(want)
    for k in want:
        torch.testing.assert_close(got[k], want[k], rtol=1e-5, atol=1e-5)
    assert "neck.laterals.0.0.weight" in ep.state_dict


class WithCriterion(torch.nn.Module):
    """A module whose forward calls the criterion: the heads' raw outputs and the
    batch in, (total, stats) out."""

    def __init__(self, crit, shapes):
        super().__init__()
        self.crit = crit
        self.shapes = shapes

    def forward(self, raw, batch):
        preds = {k: v for k, v in raw.items()}
        preds["feat_shapes"] = self.shapes
        return self.crit(preds, batch)


def criterion_case(seed, tasks, no_masks=False):
    """(model, preds, batch): a module calling the criterion (with the refine
    head as the demo holds it, in training, where the mask task is in `tasks`)
    and one batch of predictions and targets for those tasks."""
    from tests.test_losses_core import NC, make_case, labelspace
    preds, batch = make_case(seed, flags={"has_keypoint": torch.tensor([True, True, False]),
                                          "has_polygon": torch.tensor([True, True, False])})
    g = torch.Generator().manual_seed(seed + 1)
    B, A = preds["cls_raw"].shape[:2]
    G = batch["gt_boxes"].shape[1]
    extra = {"kpt_raw": torch.randn(B, A, 9, generator=g),
             "pline_raw": torch.randn(B, A, 8, generator=g),
             "tag_logits": torch.randn(B, 3, generator=g),
             "coef": torch.randn(B, A, 4, generator=g), "protos": torch.randn(B, 4, 32, 32, generator=g),
             "f2": torch.randn(B, 6, 32, 32, generator=g)}
    preds.update({k: extra[k] for k in tasks})
    if "coef" in tasks:
        preds.update(protos=extra["protos"], f2=extra["f2"])
    batch.update(gt_kpts=torch.cat([torch.rand(B, G, 3, 2, generator=g) * 60,
                                    torch.randint(0, 3, (B, G, 3, 1), generator=g).float()], -1),
                 kpt_valid=torch.ones(B, G, dtype=torch.bool),
                 gt_plines=torch.rand(B, G, 4, 2, generator=g) * 60,
                 pline_valid=torch.ones(B, G, dtype=torch.bool),
                 has_tags=torch.tensor([True, False, True]),
                 gt_tags=(torch.rand(B, 3, generator=g) > 0.5).float(),
                 gt_masks=(torch.rand(B, G, 32, 32, generator=g) > 0.5).to(torch.uint8),
                 mask_valid=torch.full((B, G), not no_masks))
    cfg = {"nc": NC, "box_offset": 0.5, "tasks": {"keypoint": {"enabled": True, "num_kpts": 3},
                                                  "polyline": {"enabled": True, "n_points": 4}}}
    torch.manual_seed(0)
    head = RefineHead(in_ch=6, roi=7, hidden=8) if "coef" in tasks else None
    crit = L.MultiTaskCriterion(cfg, labelspace(), {"refine_jitter": 0.1}, refine=head)
    return WithCriterion(crit, preds.pop("feat_shapes")), preds, batch


MASK_TASKS = ("coef", "kpt_raw", "pline_raw", "tag_logits")


@needs_compile
@pytest.mark.parametrize("tasks", [(), ("kpt_raw", "pline_raw", "tag_logits"), MASK_TASKS],
                         ids=["detection", "tasks", "masks"])
def test_criterion_strict_export(tasks):
    """torch.export with strict=True of a module whose forward calls the
    criterion (detection; the keypoint, polyline and tag losses; and the mask
    loss with the refine head, in training): the exported program gives eager
    mode's losses and statistics for the same seed (the MASK_CAP draw and the
    regions' jitter in its graph), also for a batch whose mask selection is
    empty."""
    if not hasattr(torch, "export"):
        pytest.skip("this torch has no torch.export")
    model, preds, batch = criterion_case(3, tasks)
    model.crit.MASK_CAP = 3                          # fewer than the instances: a draw
    torch.manual_seed(7)
    want_total, want = model(preds, batch)           # fills the anchor cache
    assert want["num_pos"] > 0
    ep = torch.export.export(model, (preds, batch), strict=True)
    _, _, empty = criterion_case(3, tasks, no_masks=True)
    masks = []
    for b, seed in ((batch, 7), (batch, 8), (empty, 7)):
        torch.manual_seed(seed)
        want_total, want = model(preds, b)
        torch.manual_seed(seed)
        total, stats = ep.module()(preds, b)
        torch.testing.assert_close(total, want_total, rtol=1e-6, atol=1e-7)
        assert list(stats) == list(want)
        for k in want:
            torch.testing.assert_close(stats[k], want[k], rtol=1e-6, atol=1e-7)
        masks.append(want.get("mask"))
    if "coef" in tasks:
        assert masks[0] != masks[1]           # another seed, another subset: drawn as it runs
        assert want["mask"] == 0 and want["refine"] == 0     # the empty selection's zeros


@needs_compile
@pytest.mark.parametrize("tasks", [("kpt_raw", "pline_raw"), MASK_TASKS], ids=["tasks", "masks"])
def test_criterion_forward_one_graph_with_dynamic_output_sizes(tasks):
    """Where the compiler keeps data-dependent sizes, the criterion's forward
    (detection, keypoint, polyline and tag losses; the mask loss with the
    refine head, its MASK_CAP draw and jitter) compiles into one graph, with
    eager mode's losses and gradients for the same seed."""
    model, preds, batch = criterion_case(5, tasks)
    crit = model.crit
    crit.MASK_CAP = 3
    preds["feat_shapes"] = model.shapes
    fresh_compile()
    results = []
    with torch._dynamo.config.patch(capture_dynamic_output_shape_ops=True):
        for fn in (crit, torch.compile(crit, backend="aot_eager", fullgraph=True)):
            crit.zero_grad(set_to_none=True)
            x = {k: (v.clone().requires_grad_() if torch.is_tensor(v) and v.is_floating_point()
                     else v) for k, v in preds.items()}
            torch.manual_seed(7)
            total, stats = fn(x, batch)
            total.backward()
            results.append((total.detach(), stats,
                            [x[k].grad for k in sorted(x) if torch.is_tensor(x[k])
                             and x[k].requires_grad]
                            + [p.grad for p in crit.parameters()]))
    (t0, s0, g0), (t1, s1, g1) = results
    assert s0["num_pos"] > 0 and list(s1) == list(s0)
    torch.testing.assert_close(t1, t0, rtol=1e-6, atol=1e-7)
    for k in s0:
        torch.testing.assert_close(s1[k], s0[k], rtol=1e-6, atol=1e-7)
    assert len(g1) == len(g0) and all(g is not None for g in g0)
    for a, b in zip(g1, g0):
        torch.testing.assert_close(a, b, rtol=1e-5, atol=1e-7)


@needs_compile
def test_neck_wrong_level_count_compiled_as_python():
    """A wrong number of levels under fullgraph=True fails as it does for the
    neck written in Python (which error that is depends on the compiler), and
    without fullgraph the compiler falls back to the eager AssertionError."""
    from bench.ref_neck import RefNeck
    ys = neck_inputs(1)[:4]
    errors = []
    for neck in (N.HRNeckLite(), RefNeck()):
        fresh_compile()
        with pytest.raises(Exception) as e:
            torch.compile(Holder(neck).eval(), fullgraph=True, backend="eager")(ys)
        errors.append(type(e.value))
        fresh_compile()
        with pytest.raises(AssertionError, match=r"expected 5 levels \(incl. y2\), got 4"):
            torch.compile(Holder(neck).eval(), backend="eager")(ys)
    assert errors[0] is errors[1]


@needs_compile
@pytest.mark.parametrize("dynamic", [False, True], ids=["static", "dynamic"])
def test_assign_compiles_into_one_graph(setup, dynamic):
    """The assigner on the demo's batch inside a fullgraph compiled function,
    its inputs from decoding in the same graph: the eager results exactly, no
    result requires grad, and a bad class index is the eager IndexError."""
    model, crit, images, batch = setup
    g = torch.Generator().manual_seed(2)
    shapes = [(SIZE // s, SIZE // s) for s in (8, 16, 32)]
    points, strides = D.make_anchors(shapes)
    a = points.shape[0]
    raw = torch.randn(2, a, 4, generator=g, requires_grad=True)
    scores = torch.rand(2, a, 3, generator=g)
    gt = torch.tensor([[[4.0, 4.0, 40.0, 30.0], [20.0, 10.0, 60.0, 60.0]],
                       [[0.0, 0.0, 64.0, 64.0], [0.0, 0.0, 0.0, 0.0]]])
    valid = torch.tensor([[True, True], [True, False]])

    def f(raw, cls):
        boxes = D.decode_boxes(raw, points, strides, 0.5)
        return AS.assign(scores, boxes, points, gt, cls, valid, None, topk=5, strides=strides,
                         target_floor=0.1, rescue=True)

    fresh_compile()
    cf = torch.compile(f, fullgraph=True, backend="aot_eager", dynamic=dynamic)
    cls = torch.tensor([[1, 2], [0, 0]])
    got, want = cf(raw, cls), f(raw, cls)
    assert_tree_equal(got, want)
    assert not any(t.requires_grad for t in got)
    with pytest.raises(IndexError) as eager_error:
        f(raw, cls + 2)
    with pytest.raises(IndexError) as compiled_error:
        cf(raw, cls + 2)
    # the compiler may append where in its graph the error arose
    assert str(compiled_error.value).startswith(str(eager_error.value))

