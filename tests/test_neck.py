"""HRNeckLite and _conv_bn_silu against the plain nn.Module formulation."""
import copy
import inspect
import io
import os
import pickle
import subprocess
import sys
import types

import pytest
import torch
import torch.nn.functional as F
from torch import Tensor, nn

from bench.ref_neck import RefNeck
from halcyra.models import backbone
from halcyra.models import neck as N

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SHAPES = [(64, 2), (18, 4), (36, 8), (72, 16), (144, 32)]   # (channels, stride) of y2..y32


def inputs(batch=2, size=64, device="cpu", shapes=SHAPES, **kw):
    return [torch.randn(batch, c, size // s, size // s, device=device, **kw) for c, s in shapes]


def pair(seed=0, device="cpu", **kw):
    torch.manual_seed(seed)
    ours = N.HRNeckLite(**kw).to(device)
    ref = RefNeck(**kw).to(device)
    ref.load_state_dict(ours.state_dict())
    return ours, ref


def assert_same(a, b):
    assert list(a) == list(b)
    for k in a:
        assert a[k].shape == b[k].shape and a[k].dtype == b[k].dtype, k
        assert torch.equal(a[k], b[k]), k


def outcome(neck, ys):
    try:
        return {k: v.detach().clone() for k, v in neck(ys).items()}
    except Exception as exc:  # noqa: BLE001 - the exception itself is compared
        return (type(exc), str(exc))


def test_module_names_signatures_and_docs():
    assert N.torch is torch and N.F is F and N.Tensor is Tensor and N.nn is nn
    assert N.BN_MOMENTUM == backbone.BN_MOMENTUM == 0.03
    assert "batch-norm momentum" in backbone.__doc__
    assert issubclass(N.HRNeckLite, nn.Module)
    assert N.HRNeckLite.__module__ == "halcyra.models.neck" and N.HRNeckLite.__qualname__ == "HRNeckLite"
    init, fwd = N.HRNeckLite.__init__, N.HRNeckLite.forward
    assert init.__defaults__ == ((18, 36, 72, 144), 128, 96, 64, True)
    assert str(inspect.signature(N.HRNeckLite)) == (
        "(in_channels: tuple = (18, 36, 72, 144), width: int = 128, c2_ch: int = 96, "
        "stem_ch: int = 64, with_mask: bool = True)")
    assert fwd.__annotations__ == {"ys": list[Tensor], "return": dict}
    assert list(inspect.signature(fwd).parameters) == ["self", "ys"]
    assert fwd.__qualname__ == "HRNeckLite.forward"
    assert N._conv_bn_silu.__defaults__ is None
    assert N._conv_bn_silu.__annotations__ == {"in_ch": int, "out_ch": int, "kernel": int,
                                               "return": nn.Sequential}
    for obj in (N.HRNeckLite, init, fwd, N._conv_bn_silu):
        assert obj.__doc__
    with pytest.raises(TypeError, match="unexpected keyword argument 'depth'"):
        N.HRNeckLite(depth=3)
    with pytest.raises(TypeError):
        N._conv_bn_silu(8, 16)


@pytest.mark.parametrize("failure", ["ImportError", "RuntimeError"])
def test_momentum_when_the_backbone_cannot_be_imported(failure):
    """A backbone that cannot be found leaves the trunk's momentum; any other
    failure of its import is not swallowed: the neck's import fails with it."""
    code = (
        "import sys\n"
        "class Finder:\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        "        if name == 'halcyra.models.backbone':\n"
        f"            raise {failure}('no backbone here')\n"
        "sys.meta_path.insert(0, Finder())\n"
        "try:\n"
        "    import halcyra.models.neck as N\n"
        "except Exception as e:\n"
        "    print(type(e).__name__, repr(e.__cause__))\n"
        "else:\n"
        "    print(N.BN_MOMENTUM)\n")
    run = subprocess.run([sys.executable, "-c", code], cwd=ROOT, capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
    want = "0.03" if failure == "ImportError" else "RuntimeError None"
    assert run.stdout.strip() == want

@pytest.mark.parametrize("kernel,padding", [(1, 0), (3, 1)])
def test_conv_bn_silu_block(kernel, padding):
    blk = N._conv_bn_silu(8, 16, kernel)
    assert type(blk) is nn.Sequential and len(blk) == 3
    conv, bn, act = blk
    assert type(conv) is nn.Conv2d and type(bn) is nn.BatchNorm2d and type(act) is nn.SiLU
    assert (conv.in_channels, conv.out_channels) == (8, 16) and conv.bias is None
    assert conv.kernel_size == (kernel, kernel) and conv.padding == (padding, padding)
    assert conv.stride == (1, 1)
    assert bn.num_features == 16 and bn.momentum == 0.03 and bn.eps == 1e-5 and bn.affine
    assert act.inplace


def test_globals_are_late_bound(monkeypatch):
    monkeypatch.setattr(N, "BN_MOMENTUM", 0.5)
    assert N._conv_bn_silu(4, 4, 1)[1].momentum == 0.5
    calls = []
    real = N._conv_bn_silu
    monkeypatch.setattr(N, "_conv_bn_silu", lambda *a: calls.append(a) or real(*a))
    N.HRNeckLite()
    assert calls == [(36, 128, 1), (72, 128, 1), (144, 128, 1),
                     (128, 128, 3), (128, 128, 3), (128, 128, 3), (270, 96, 1), (160, 96, 3)]


def test_construction_matches_reference():
    ours, ref = pair()
    torch.manual_seed(0)
    fresh = RefNeck()
    # Same names in the same order, same draws from the global generator.
    assert list(ours.state_dict()) == list(fresh.state_dict())
    assert [n for n, _ in ours.named_modules()] == [n for n, _ in fresh.named_modules()]
    for (k, a), b in zip(ours.state_dict().items(), fresh.state_dict().values()):
        assert torch.equal(a, b), k
    assert [(b[0].in_channels, b[0].out_channels, b[0].kernel_size) for b in ours.laterals] == [
        (36, 128, (1, 1)), (72, 128, (1, 1)), (144, 128, (1, 1))]
    assert all(b[0].kernel_size == (3, 3) and b[0].in_channels == b[0].out_channels == 128
               for b in ours.smooths) and len(ours.smooths) == 3
    assert (ours.c2_conv[0].in_channels, ours.c2_conv[0].out_channels) == (270, 96)
    assert (ours.f2_conv[0].in_channels, ours.f2_conv[0].out_channels, ours.f2_conv[0].padding) == (
        160, 96, (1, 1))
    for m in ours.modules():
        if isinstance(m, nn.BatchNorm2d):
            assert bool((m.weight == 1).all() and (m.bias == 0).all())
            assert bool((m.running_mean == 0).all() and (m.running_var == 1).all())
            assert m.momentum == 0.03
    # The weights are Kaiming fan_out draws, not the layer's own default init.
    w = ours.smooths[0][0].weight
    assert abs(w.std().item() - (2.0 / (128 * 9)) ** 0.5) < 0.01


def test_non_default_widths_and_no_mask():
    n = N.HRNeckLite(in_channels=(32, 64, 128, 256), width=96)
    assert [b[0].in_channels for b in n.laterals] == [64, 128, 256]
    assert {b[0].out_channels for b in n.laterals} == {96}
    assert n.c2_conv[0].in_channels == 480 and n.f2_conv[0].in_channels == 160
    nm = N.HRNeckLite(with_mask=0)
    assert nm.with_mask == 0 and type(nm.with_mask) is int      # stored unchanged
    assert isinstance(nm.c2_conv, nn.Sequential) and isinstance(nm.f2_conv, nn.Sequential)
    assert list(nm.state_dict()) == list(N.HRNeckLite().state_dict())


@pytest.mark.parametrize("train", [False, True])
def test_forward_matches_reference(device, train, sound_convolutions):
    ours, ref = pair(device=device)
    ours.train(train)
    ref.train(train)
    ys = inputs(device=device)
    kept = [y.clone() for y in ys]
    for _ in range(2):      # the second call sees updated running statistics
        assert_same(ours(ys), ref(ys))
    assert all(torch.equal(a, b) for a, b in zip(ys, kept))       # inputs untouched
    for (k, a), b in zip(ours.state_dict().items(), ref.state_dict().values()):
        assert torch.equal(a, b), k
    if train:
        assert ours.c2_conv[1].num_batches_tracked.item() == 2
        assert not torch.equal(ours.c2_conv[1].running_mean, torch.zeros_like(ours.c2_conv[1].running_mean))


def test_default_640_shapes():
    ours = N.HRNeckLite().eval()
    seen = {}
    ours.c2_conv.register_forward_pre_hook(lambda m, a: seen.__setitem__("c2", a[0].shape[1]))
    ours.f2_conv.register_forward_pre_hook(lambda m, a: seen.__setitem__("f2", a[0].shape[1]))
    with torch.no_grad():
        out = ours(inputs(batch=1, size=640))
    assert [(k, tuple(v.shape)) for k, v in out.items()] == [
        ("c2", (1, 96, 160, 160)), ("f2", (1, 96, 320, 320)), ("p3", (1, 128, 80, 80)),
        ("p4", (1, 128, 40, 40)), ("p5", (1, 128, 20, 20))]
    assert seen == {"c2": 270, "f2": 160}


def test_without_mask_and_level_counts():
    ours, ref = pair(with_mask=False)
    ys = inputs()
    ys[0], ys[1] = "not used", None     # y2 and y4 are never touched
    out = ours(ys)
    assert list(out) == ["p3", "p4", "p5"]
    assert_same(out, ref(ys))
    for neck in (N.HRNeckLite(), ours):
        with pytest.raises(AssertionError) as e:
            neck(inputs()[:4])
        assert e.value.args == ("expected 5 levels (incl. y2), got 4",)
    small, small_ref = pair(in_channels=(18, 36, 72))
    ys = inputs(shapes=SHAPES[:4])
    assert list(small(ys)) == ["c2", "f2", "p3", "p4"]
    assert_same(small(tuple(ys)), small_ref(tuple(ys)))
    with pytest.raises(AssertionError, match=r"^expected 4 levels \(incl. y2\), got 5$"):
        small(inputs())
    with pytest.raises(TypeError, match="has no len"):
        small(iter(ys))


def test_assertion_skipped_under_optimize():
    """Under -O the level count is not checked: too few levels fail further on,
    as they do in the plain module (which runs beside it for the expectation)."""
    code = (
        "import torch; from halcyra.models.neck import HRNeckLite\n"
        "from bench.ref_neck import RefNeck\n"
        "ys = [torch.randn(1, c, 64 // s, 64 // s) for c, s in "
        "[(64, 2), (18, 4), (36, 8), (72, 16)]]\n"
        "print(sorted(HRNeckLite(with_mask=False)(ys)))\n"
        "for cls in (HRNeckLite, RefNeck):\n"
        "    for arg in (ys, []):\n"
        "        try:\n            cls()(arg)\n"
        "        except Exception as e:\n            print(repr((type(e).__name__, str(e))))\n"
        "        else:\n            print('returned')\n")
    run = subprocess.run([sys.executable, "-O", "-c", code], cwd=ROOT, capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.split("\n")
    assert lines[0] == "['p3', 'p4']"
    assert lines[1:3] == lines[3:5] and "returned" not in lines[1:5], lines


@pytest.mark.parametrize("case", ["odd_size", "channels", "non_tensor", "mixed_dtype", "empty_batch",
                                  "three_d"])
def test_bad_inputs_fail_like_reference(case):
    ours, ref = pair()
    ours.eval()
    ref.eval()
    ys = inputs()
    if case == "odd_size":
        ys[2] = torch.randn(2, 36, 9, 9)
    elif case == "channels":
        ys[3] = torch.randn(2, 70, 4, 4)
    elif case == "non_tensor":
        ys[4] = ys[4].tolist()
    elif case == "mixed_dtype":
        ys[3] = ys[3].double()
    elif case == "empty_batch":
        ys = inputs(batch=0)
    elif case == "three_d":
        ys[4] = ys[4][0]
    a, b = outcome(ours, ys), outcome(ref, ys)
    if isinstance(b, tuple):
        assert a == b
    else:
        assert_same(a, b)


def test_state_dict_and_checkpoints():
    torch.manual_seed(1)
    ref = RefNeck()
    ref.train()
    ref(inputs())                       # non-trivial running statistics
    buf = io.BytesIO()
    torch.save(ref.state_dict(), buf)
    buf.seek(0)
    ours = N.HRNeckLite()
    assert ours.load_state_dict(torch.load(buf), strict=True).missing_keys == []
    ours.eval()
    ref.eval()
    ys = inputs()
    assert_same(ours(ys), ref(ys))
    back = RefNeck()
    back.load_state_dict(ours.state_dict())
    assert_same(back.eval()(ys), ours(ys))
    nomask = N.HRNeckLite(with_mask=False)
    nomask.load_state_dict(ref.state_dict())    # the mask blocks load too
    assert torch.equal(nomask.f2_conv[0].weight, ref.f2_conv[0].weight)


def test_module_protocol():
    ours, ref = pair()
    ys = inputs()
    ours.eval()
    assert not any(m.training for m in ours.modules())
    ours.train()
    assert all(m.training for m in ours.modules())
    ours.eval()
    ref.eval()
    twin = copy.deepcopy(ours)
    assert type(twin) is N.HRNeckLite
    with torch.no_grad():
        twin.c2_conv[0].weight.add_(1.0)
    assert not torch.equal(twin.c2_conv[0].weight, ours.c2_conv[0].weight)
    buf = io.BytesIO()
    torch.save(ours, buf)
    buf.seek(0)
    loaded = torch.load(buf, weights_only=False)   # a whole module, not only tensors
    assert type(loaded) is N.HRNeckLite
    assert_same(loaded(ys), ref(ys))
    assert type(pickle.loads(pickle.dumps(ours))) is N.HRNeckLite
    d = copy.deepcopy(ours).double()
    assert all(p.dtype == torch.float64 for p in d.parameters())
    assert_same(d([y.double() for y in ys]), copy.deepcopy(ref).double()([y.double() for y in ys]))
    h = copy.deepcopy(ours).half()
    assert h.c2_conv[1].running_var.dtype == torch.float16
    assert h.c2_conv[1].num_batches_tracked.dtype == torch.int64
    if torch.cuda.is_available():
        hc, rc = h.cuda(), copy.deepcopy(ref).half().cuda()
        yh = [y.half().cuda() for y in ys]
        assert_same(hc(yh), rc(yh))
    else:      # half convolution on CPU: both fail the same way (1.13) or agree (2.x)
        yh = [y.half() for y in ys]
        got, want = outcome(h, yh), outcome(copy.deepcopy(ref).half(), yh)
        if isinstance(want, dict):
            assert_same(got, want)
        else:
            assert got == want


def test_hooks_fire_and_can_change_data():
    ours, ref = pair()
    calls = []
    for name, m in ours.named_modules():
        if name:
            m.register_forward_hook(lambda m, a, o, name=name: calls.append(name))
    out = ours(inputs())
    assert "c2_conv" in calls and "f2_conv.0" in calls and "laterals.2" in calls
    assert calls.count("smooths.1.2") == 1 and len(calls) == len(list(ours.modules())) - 3
    # A pre-hook that rewrites the concatenated input, as it would in Python.
    ours.c2_conv.register_forward_pre_hook(lambda m, a: (a[0] * 0,))
    ref.c2_conv.register_forward_pre_hook(lambda m, a: (a[0] * 0,))
    ys = inputs()
    assert_same(ours(ys), ref(ys))
    assert set(out) == {"c2", "f2", "p3", "p4", "p5"}


def test_autograd_matches_reference(device, sound_convolutions):
    ours, ref = pair(device=device)
    fed = []
    ours.f2_conv.register_forward_pre_hook(lambda m, a: fed.append(a[0].grad_fn.name()))
    ys_a = inputs(device=device, requires_grad=True)
    ys_b = [y.detach().clone().requires_grad_() for y in ys_a]
    wts = {k: i + 1.0 for i, k in enumerate(["c2", "f2", "p3", "p4", "p5"])}
    for neck, ys in ((ours, ys_a), (ref, ys_b)):
        out = neck(ys)
        sum(wts[k] * (v * v).mean() for k, v in out.items()).backward()
    assert "UpsampleCat" in fed[0]      # the direct concatenation, not the fallback
    for a, b in zip(ys_a, ys_b):
        if device == "cpu":     # same kernels and summation order: the same bits
            assert torch.equal(a.grad, b.grad)
        assert torch.allclose(a.grad, b.grad, rtol=1e-5, atol=1e-7)
    for (k, p), q in zip(ours.named_parameters(), ref.parameters()):
        assert torch.allclose(p.grad, q.grad, rtol=1e-5, atol=1e-6), k
    # Second-order gradients flow through the concatenation as well.
    y = [t.detach().double().requires_grad_() for t in inputs(batch=1, size=32)]
    ours.double().eval()
    g, = torch.autograd.grad(ours(y)["f2"].sum(), y[2], create_graph=True)
    (g * g).sum().backward()
    assert y[2].grad is not None and y[4].grad is not None


def test_gradients_reaching_the_concatenation_directly():
    # With identity blocks the concatenations' gradients are stride-0 sums and
    # the sum of two consumers, not a convolution's dense gradient.
    ours, ref = pair()
    for n in (ours, ref):
        n.c2_conv, n.f2_conv = nn.Identity(), nn.Identity()
    ys_a = inputs(requires_grad=True)
    ys_b = [y.detach().clone().requires_grad_() for y in ys_a]
    for neck, ys in ((ours, ys_a), (ref, ys_b)):
        out = neck(ys)
        (out["c2"].sum() + 2 * out["f2"].sum() + out["p5"].sum()).backward()
    assert out["f2"].shape[1] == 270 + 64
    for a, b in zip(ys_a, ys_b):
        assert torch.equal(a.grad, b.grad)


def test_channels_last_inputs():
    ours, ref = pair()
    ours.eval()
    ref.eval()
    ys = [y.contiguous(memory_format=torch.channels_last) for y in inputs()]
    a, b = ours(ys), ref(ys)
    assert_same(a, b)
    for k in a:
        assert a[k].stride() == b[k].stride(), k


def test_subclass_and_rebound_functions(monkeypatch):
    class Tagged(N.HRNeckLite):
        def __init__(self):
            super().__init__(width=32, c2_ch=16)

        def forward(self, ys):
            out = super().forward(ys)
            out["extra"] = out["p3"].mean()
            return out

    t = Tagged()
    out = t(inputs())
    assert list(out) == ["c2", "f2", "p3", "p4", "p5", "extra"] and out["p3"].shape[1] == 32
    assert type(copy.deepcopy(t)) is Tagged
    # Rebinding F on the module is honoured, as in Python.
    ours, ref = pair()
    calls = []
    fake = types.SimpleNamespace(interpolate=lambda x, **kw: calls.append(kw) or F.interpolate(x, **kw))
    monkeypatch.setattr(N, "F", fake)
    ys = inputs()
    assert_same(ours(ys), ref(ys))
    assert calls == [{"scale_factor": s, "mode": "nearest"} for s in (2.0, 4.0, 8.0, 2.0)]
    assert all(type(c["scale_factor"]) is float for c in calls)
    # and so is rebinding torch (cat is all forward looks up there)
    monkeypatch.undo()
    cats = []
    monkeypatch.setattr(N, "torch", types.SimpleNamespace(
        cat=lambda xs, dim: cats.append(len(xs)) or torch.cat(xs, dim=dim)))
    assert_same(ours(ys), ref(ys))
    assert cats == [4, 2]


def test_tensor_subclass_inputs_dispatch():
    class Logged(torch.Tensor):
        seen = []

        @classmethod
        def __torch_function__(cls, func, types, args=(), kwargs=None):
            cls.seen.append(getattr(func, "__name__", str(func)))
            return super().__torch_function__(func, types, args, kwargs or {})

    ours, ref = pair()
    ys = [y.as_subclass(Logged) for y in inputs()]
    a = ours(ys)
    assert "interpolate" in Logged.seen and "cat" in Logged.seen
    b = ref(ys)
    for k in a:
        assert torch.equal(a[k].as_subclass(torch.Tensor), b[k].as_subclass(torch.Tensor))


def test_upsample_cat_operator_checks_and_shapes():
    """The operator itself refuses what its kernel cannot take, with a
    ValueError rather than a crash, and gives the plain statements' result
    (and shape on the meta device) where it applies."""
    op = torch.ops.halcyra.upsample_cat
    a, b = torch.randn(2, 3, 4, 4), torch.randn(2, 5, 2, 2)
    want = torch.cat([a, F.interpolate(b, scale_factor=2.0, mode="nearest")], 1)
    assert torch.ops.halcyra.upsample_cat_applies([a, b], [1, 2])
    assert torch.equal(op([a, b], [1, 2]), want)
    for xs, fs in [([a, b], [1, 3]), ([a, b], [1]), ([a, b.double()], [1, 2]),
                   ([a, b[:1]], [1, 2]), ([a, b.int()], [1, 2]), ([], []),
                   ([a[:, :, :, :0], b[:, :, :, :0]], [1, 2]), ([a[0], b[0]], [1, 2])]:
        assert not torch.ops.halcyra.upsample_cat_applies(xs, fs)
        with pytest.raises((ValueError, RuntimeError)):
            op(xs, fs)
    meta = op([a.to("meta"), b.to("meta")], [1, 2])
    assert meta.shape == want.shape and meta.device.type == "meta"
