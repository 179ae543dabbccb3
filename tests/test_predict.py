"""postprocess against the plain eager formulation (bench/ref_predict.py), plus the
selection, NMS, mask-region and Python-behaviour cases that catch real faults."""
import inspect
import math

import pytest
import torch
import torchvision

import halcyra
from bench import ref_predict as ref
from tests.torch_like import error_of, raises_like, same_outcome
from halcyra.infer import decode as D
from halcyra.infer import predict as P

SHAPES = [(8, 8), (4, 4), (2, 2)]
A = 84


def make_preds(b=2, nc=3, p=4, s=64, hm=None, k=2, n=3, t=5, device="cpu", seed=0, f2=True):
    g = torch.Generator().manual_seed(seed)
    hm = hm or s // 2

    def r(*shape):
        return torch.randn(*shape, generator=g).to(device)

    preds = {"feat_shapes": SHAPES, "cls_raw": r(b, A, nc), "box_raw": r(b, A, 4) + 1.0,
             "coef": r(b, A, p), "protos": r(b, p, hm, hm), "kpt_raw": r(b, A, 3 * k),
             "pline_raw": r(b, A, 2 * n), "tag_logits": r(b, t)}
    if f2:
        preds["f2"] = r(b, 4, s // 2, s // 2)
    return preds


class PoolHead:
    """A deterministic refine head: the coarse logits pooled to 7 x 7 per region."""
    roi = 7

    def sanitize(self, boxes, size, stride):
        return boxes.clamp(0, size[1] * stride)

    def __call__(self, f2, coarse, boxes, bidx, stride):
        return torch.nn.functional.adaptive_avg_pool2d(coarse[:, None], 7)[:, 0] * 1.5 + 0.2


def assert_same(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert list(g) == list(w)
        for key in g:
            assert g[key].dtype == w[key].dtype and g[key].shape == w[key].shape, key
            if key in ("masks", "cls"):
                assert torch.equal(g[key], w[key]), key
            else:
                torch.testing.assert_close(g[key], w[key], rtol=1e-6, atol=1e-4)


def snapshot(preds):
    return {k: (v.clone() if isinstance(v, torch.Tensor) else v) for k, v in preds.items()}


def assert_unchanged(preds, snap):
    assert list(preds) == list(snap)
    for k, v in snap.items():
        assert torch.equal(preds[k], v) if isinstance(v, torch.Tensor) else preds[k] == v


# ---- names, signature, Python behaviour ------------------------------------------------

def test_module_names_signature_and_defaults():
    names = [n for n in vars(P) if not n.startswith("__")]
    assert names == ["math", "torch", "F", "batched_nms", "STRIDES", "decode_boxes",
                     "decode_points", "make_anchors", "postprocess"]
    assert P.batched_nms is torchvision.ops.batched_nms and P.decode_boxes is D.decode_boxes
    sig = inspect.signature(P.postprocess)
    assert str(sig) == ("(preds: dict, conf_thres: float = 0.25, nms_iou: float = 0.7, "
                        "max_det: int = 300, pre_nms: int = 3000, mask_thres: float = 0.5, "
                        "num_kpts: int = 0, n_pline: int = 16, input_size: int = 640, "
                        "refine=None, box_offset: float = 0.0) -> list[dict]")
    assert P.postprocess.__defaults__ == (0.25, 0.7, 300, 3000, 0.5, 0, 16, 640, None, 0.0)
    assert P.postprocess.__module__ == "halcyra.infer.predict" and P.postprocess.__doc__
    with pytest.raises(TypeError, match="unexpected keyword argument 'iou'"):
        P.postprocess({}, iou=0.5)
    with pytest.raises(TypeError):
        P.postprocess(*range(12))
    with pytest.raises(KeyError):
        P.postprocess({"feat_shapes": SHAPES, "box_raw": torch.zeros(1, A, 4)})


def test_late_binding_of_imported_names(monkeypatch):
    preds = make_preds(b=3)
    calls = []

    def recording_nms(boxes, scores, idxs, iou):
        calls.append((boxes.shape[0], iou))
        return torchvision.ops.batched_nms(boxes, scores, idxs, iou)

    monkeypatch.setattr(P, "batched_nms", recording_nms)
    out = P.postprocess(preds, nms_iou=0.6, num_kpts=2, n_pline=3, input_size=64)
    assert len(calls) == 3 and all(c[1] == 0.6 for c in calls)
    monkeypatch.setattr(P, "batched_nms", lambda *a: torch.zeros(0, dtype=torch.long))
    out = P.postprocess(preds, num_kpts=2, n_pline=3, input_size=64)
    assert all(r["boxes"].shape == (0, 4) for r in out)
    monkeypatch.delattr(P, "make_anchors")
    with pytest.raises(NameError):
        P.postprocess(preds)


def test_anchors_reused_only_while_nothing_else_sees_them(monkeypatch):
    """postprocess keeps the anchors of level sizes it has seen while only its
    operators read them; a replaced decode_points gets fresh ones on every
    call, so what it does to them never reaches a later call."""
    preds = make_preds(b=2)
    kw = dict(num_kpts=2, n_pline=3, input_size=64)
    want = P.postprocess(preds, **kw)
    # other level sizes in between (as many anchors, other places)
    other = dict(preds, feat_shapes=[(4, 16), (2, 8), (1, 4)])
    assert_same(P.postprocess(other, **kw), ref.postprocess(other, **kw))
    assert_same(P.postprocess(preds, **kw), want)
    seen = []

    def vandal(raw, points, strides, n):
        # (called per image: the anchors are spoilt after the last image's call)
        seen.append(points)
        out = D.decode_points(raw, points, strides, n)
        if len(seen) % 2 == 0:
            points.add_(1000.0)
        return out

    monkeypatch.setattr(P, "decode_points", vandal)
    for _ in range(2):
        assert_same(P.postprocess(preds, **kw), want)
    assert len(seen) == 4 and seen[1] is not seen[2]
    monkeypatch.undo()
    assert_same(P.postprocess(preds, **kw), want)


# ---- against the eager formulation -------------------------------------------------------

@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("refine", [False, True])
def test_matches_reference(device, seed, refine):
    preds = make_preds(device=device, seed=seed)
    snap = snapshot(preds)
    kw = dict(conf_thres=0.3, num_kpts=2, n_pline=3, input_size=64, mask_thres=0.45 + 0.02 * seed,
              refine=PoolHead() if refine else None)
    got = P.postprocess(preds, **kw)
    assert_same(got, ref.postprocess(preds, **kw))
    assert_unchanged(preds, snap)
    assert all(v.device.type == device for r in got for v in r.values())
    assert sum(r["masks"].sum() for r in got) > 0


@pytest.mark.parametrize("hm,s", [(40, 128), (64, 64), (7, 100), (100, 64)])
@pytest.mark.parametrize("conf", [0.3, 0.93])
@pytest.mark.parametrize("threads", [1, 3])
def test_coarse_masks_bit_equal_for_grid_sizes(hm, s, conf, threads):
    # Up- and downsampling, an unchanged axis, single and many detections; the
    # library splits its sigmoid differently with more threads.
    preds = make_preds(hm=hm, s=s, seed=hm, f2=False)
    kw = dict(conf_thres=conf, num_kpts=2, n_pline=3, input_size=s)
    before = torch.get_num_threads()
    torch.set_num_threads(threads)
    try:
        assert_same(P.postprocess(preds, **kw), ref.postprocess(preds, **kw))
    finally:
        torch.set_num_threads(before)


@pytest.mark.parametrize("s", [48, 64, 65, 96])
@pytest.mark.parametrize("n", [2, 3, 4])
@pytest.mark.parametrize("threads", [1, 2])
def test_coarse_masks_bit_equal_for_detection_counts(s, n, threads):
    # Some library versions resize small outputs, and three maps at one
    # thread, with another kernel whose evaluation order differs.
    preds = make_preds(b=1, hm=24, s=s, seed=s + n, f2=False)
    kw = dict(conf_thres=0.01, max_det=n, num_kpts=2, n_pline=3, input_size=s)
    before = torch.get_num_threads()
    torch.set_num_threads(threads)
    try:
        got = P.postprocess(preds, **kw)
        assert got[0]["masks"].shape == (n, s, s)
        assert_same(got, ref.postprocess(preds, **kw))
    finally:
        torch.set_num_threads(before)


def test_coarse_masks_take_the_fused_path():
    # Large masks of several detections never go through the library's resize
    # once the arithmetic has been matched (on first use). Under
    # HALCYRA_GENERIC=1 the tensor formulation runs; under "scalar" the match
    # is sought without fused multiply-adds, and the resize runs where the
    # library's own kernel uses them.
    preds = make_preds(b=2, hm=32, s=128, seed=5, f2=False)
    kw = dict(conf_thres=0.01, max_det=5, num_kpts=2, n_pline=3, input_size=128)
    want = P.postprocess(preds, **kw)
    with torch.profiler.profile() as prof:
        got = P.postprocess(preds, **kw)
    names = {e.name for e in prof.events()}
    assert "halcyra::prototype_masks" in names
    resized = any("upsample" in name for name in names)
    if halcyra._generic == "0":
        assert not resized, sorted(names)
    elif halcyra._generic == "1":
        assert resized
    assert_same(got, want)
    assert_same(got, ref.postprocess(preds, **kw))


def test_offset_half_inputs_and_empty_images():
    preds = make_preds(b=3, seed=7)
    preds["cls_raw"][1] = -20.0
    kw = dict(num_kpts=2, n_pline=3, input_size=64, box_offset=0.5)
    got = P.postprocess(preds, **kw)
    assert_same(got, ref.postprocess(preds, **kw))
    empty = got[1]
    assert empty["boxes"].shape == (0, 4) and empty["scores"].shape == (0,)
    assert empty["cls"].dtype == torch.int64 and empty["masks"].shape == (0, 64, 64)
    assert empty["kpts"].shape == (0, 2, 3) and empty["plines"].shape == (0, 3, 2)
    assert empty["tags"].shape == (5,)
    half = {k: (v.half() if isinstance(v, torch.Tensor) else v) for k, v in preds.items()}
    back = {k: (v.float() if isinstance(v, torch.Tensor) else v) for k, v in half.items()}
    out = P.postprocess(half, **kw)
    assert out[0]["boxes"].dtype == out[0]["scores"].dtype == torch.float32
    assert_same(out, ref.postprocess(back, **kw))


def test_protos_read_only_for_images_with_detections():
    preds = make_preds(f2=False)
    del preds["protos"]
    preds["cls_raw"] = torch.full_like(preds["cls_raw"], -20.0)
    out = P.postprocess(preds, num_kpts=2, n_pline=3, input_size=64)
    assert [r["masks"].shape for r in out] == [(0, 64, 64)] * 2
    preds["cls_raw"][1, 5] = 5.0
    with pytest.raises(KeyError):
        P.postprocess(preds, num_kpts=2, n_pline=3, input_size=64)
    del preds["coef"]
    assert "masks" not in P.postprocess(preds, num_kpts=2, n_pline=3, input_size=64)[1]


def test_grad_inputs_and_grad_mode_restored():
    preds = make_preds()
    for k, v in preds.items():
        if isinstance(v, torch.Tensor):
            preds[k] = v.requires_grad_(True)
    out = P.postprocess(preds, num_kpts=2, n_pline=3, input_size=64, refine=PoolHead())
    assert torch.is_grad_enabled()
    assert not any(t.requires_grad or t.grad_fn is not None for r in out for t in r.values())
    # a keypoint count that does not divide the rows: the plain formulation's error
    raises_like(error_of(ref.postprocess, preds, num_kpts=5, input_size=64),
                P.postprocess, preds, num_kpts=5, input_size=64)
    assert torch.is_grad_enabled()
    with torch.no_grad():
        P.postprocess(preds, num_kpts=2, n_pline=3, input_size=64)
        assert not torch.is_grad_enabled()


# ---- selection and NMS --------------------------------------------------------------------

def fixed_boxes(monkeypatch, boxes):
    """Make decode_boxes return the given (A', 4) boxes for anchors 0..A'-1."""
    boxes = torch.tensor(boxes, dtype=torch.float32)

    def decode(raw, points, stride, offset=0.0):
        out = torch.zeros(raw.shape[0], raw.shape[1], 4)
        out[:, :len(boxes)] = boxes
        return out

    monkeypatch.setattr(P, "decode_boxes", decode)


def one_image(logits, nc=2):
    cls = torch.full((1, A, nc), -20.0)
    for a, (c, v) in logits.items():
        cls[0, a, c] = v
    return {"feat_shapes": SHAPES, "cls_raw": cls, "box_raw": torch.zeros(1, A, 4)}


def test_strict_confidence_threshold():
    preds = one_image({0: (0, 0.0), 1: (1, 1e-3)})
    out = P.postprocess(preds, conf_thres=0.5)[0]
    assert out["cls"].tolist() == [1] and out["scores"].tolist() == [torch.sigmoid(torch.tensor(1e-3)).item()]


def test_pre_nms_boundary(monkeypatch):
    seen = []

    def recording(boxes, scores, idxs, iou):
        seen.append(scores.clone())
        return torchvision.ops.batched_nms(boxes, scores, idxs, iou)

    monkeypatch.setattr(P, "batched_nms", recording)
    preds = one_image({a: (0, 1.0 + 0.1 * ((a * 7) % 5)) for a in range(5)})
    P.postprocess(preds, pre_nms=5)
    want = torch.sigmoid(torch.tensor([1.0 + 0.1 * ((a * 7) % 5) for a in range(5)]))
    assert torch.equal(seen[-1], want)  # ascending anchor order, no top-k
    P.postprocess(preds, pre_nms=4)
    assert torch.equal(seen[-1], want.sort(descending=True)[0][:4])


def test_class_aware_nms_and_exact_iou(monkeypatch):
    fixed_boxes(monkeypatch, [[0, 0, 10, 10], [0, 0, 10, 9], [20, 0, 30, 10], [20, 0, 30, 5]])
    preds = one_image({0: (0, 3.0), 1: (1, 2.0), 2: (0, 3.0), 3: (0, 2.0)})
    out = P.postprocess(preds, nms_iou=0.5)[0]
    # IoU 0.9 across classes: both kept; IoU exactly 0.5 within a class: kept.
    assert out["boxes"].shape[0] == 4
    preds = one_image({0: (0, 3.0), 1: (0, 2.0)})
    out = P.postprocess(preds, nms_iou=0.5)[0]
    assert out["boxes"].tolist() == [[0, 0, 10, 10]]
    preds = one_image({2: (0, 3.0), 3: (0, 2.0)})
    assert P.postprocess(preds, nms_iou=0.49)[0]["boxes"].shape[0] == 1


def test_max_det_keeps_best_in_order(monkeypatch):
    fixed_boxes(monkeypatch, [[20 * i, 0, 20 * i + 10, 10] for i in range(6)])
    preds = one_image({i: (i % 2, float(v)) for i, v in enumerate([1, 5, 3, 6, 2, 4])})
    out = P.postprocess(preds, max_det=3, conf_thres=0.1)[0]
    assert out["boxes"][:, 0].tolist() == [60, 20, 100]
    assert out["cls"].tolist() == [1, 1, 1]
    assert (out["scores"][:-1] > out["scores"][1:]).all()


# ---- mask regions ---------------------------------------------------------------------------

def test_coarse_box_test_and_strict_mask_threshold(monkeypatch):
    fixed_boxes(monkeypatch, [[10.5, 20.0, 30.2, 40.0], [0, 0, 63, 63]])
    preds = one_image({0: (0, 3.0), 1: (1, 2.0)})
    preds["coef"] = torch.zeros(1, A, 1)
    preds["protos"] = torch.zeros(1, 1, 64, 64)   # probability exactly 0.5 everywhere
    out = P.postprocess(preds, input_size=64, mask_thres=0.5)[0]
    assert not out["masks"].any()
    m = P.postprocess(preds, input_size=64, mask_thres=0.4999)[0]["masks"][0]
    ys, xs = m.nonzero(as_tuple=True)
    assert (xs.min(), xs.max(), ys.min(), ys.max()) == (11, 30, 20, 40)
    assert m.sum() == 20 * 21


@pytest.mark.parametrize("threads", [1, 2])
def test_prototype_masks_where_the_sigmoid_loops_differ(threads):
    """Eight whole-image detections (one per class) over 65 x 65 prototypes
    whose logits all equal a value on which the library's vector and scalar
    sigmoid differ, thresholded between the two results: which pixels pass
    depends on where the library takes its scalar path (the ends of its
    per-thread chunks), and the masks are still the formulation's."""
    x = vector_scalar_mismatch(torch.sigmoid, 0.2, 1.0)
    cls = torch.full((1, A, 8), -20.0)
    for k in range(8):
        cls[0, k, k] = 3.0 - 0.1 * k
    preds = {"feat_shapes": SHAPES, "cls_raw": cls, "box_raw": torch.full((1, A, 4), 20.0),
             "coef": torch.full((1, A, 1), x), "protos": torch.ones(1, 1, 65, 65)}
    thres = min(torch.sigmoid(torch.full((64,), x))[0].item(), torch.sigmoid(torch.tensor([x]))[0].item())
    before = torch.get_num_threads()
    torch.set_num_threads(threads)
    try:
        got = P.postprocess(preds, input_size=128, mask_thres=thres)
        assert_same(got, ref.postprocess(preds, input_size=128, mask_thres=thres))
    finally:
        torch.set_num_threads(before)
    m = got[0]["masks"]
    assert m.shape == (8, 128, 128) and 0 < m.sum() < m.numel()

class RecordingHead:
    """Returns preset sanitized boxes and large logits; records its calls."""
    roi = 3

    def __init__(self, boxes):
        self.boxes = torch.tensor(boxes, dtype=torch.float32)
        self.calls = []

    def sanitize(self, boxes, size, stride):
        self.calls.append(("sanitize", boxes.clone(), size, stride))
        return self.boxes[:len(boxes)]

    def __call__(self, f2, coarse, boxes, bidx, stride):
        self.calls.append(("call", f2.shape, coarse.shape, boxes.clone(), bidx.clone(), stride))
        self.coarse = coarse.clone()
        return torch.full((len(boxes), 3, 3), 10.0)


def test_refine_regions_and_arguments(monkeypatch):
    fixed_boxes(monkeypatch, [[0, 0, 10, 10], [600, 0, 640, 10]])
    preds = one_image({0: (0, 3.0), 1: (0, 2.0)})
    preds.update(coef=torch.randn(1, A, 2), protos=torch.randn(1, 2, 320, 320),
                 f2=torch.randn(1, 4, 320, 320))
    head = RecordingHead([[100.4, 50.0, 100.9, 50.5], [639.2, 3.0, 639.9, 4.0]])
    m = P.postprocess(preds, refine=head)[0]["masks"]
    (_, bx, size, st), (_, f2s, cs, bx_int, bidx, st2) = head.calls
    assert size == (320, 320) and st == st2 == 2.0 and type(st) is float
    assert f2s == (1, 4, 320, 320) and cs == (2, 320, 320) and bidx.tolist() == [0, 0]
    assert bx_int.tolist() == [[100, 50, 102, 52], [638, 3, 640, 5]]
    assert m[0].nonzero().tolist() == [[50, 100], [50, 101], [51, 100], [51, 101]]
    assert m[1].sum() == 4 and m[1, 3:5, 638:640].all()

    preds["f2"] = torch.randn(1, 4, 213, 213)
    head = RecordingHead([[100.4, 50.0, 100.9, 50.5], [10.0, 10.0, 30.0, 12.0]])
    m = P.postprocess(preds, refine=head)[0]["masks"]
    assert head.calls[0][3] == 640 / 213 and head.calls[1][3].tolist()[0] == [100, 50, 104, 54]
    assert m[0].sum() == 16 and m[1].sum() == 20 * 4


def test_refine_head_gets_the_exact_coarse_logits():
    preds = make_preds(seed=3)
    head = RecordingHead([[0.0, 0.0, 8.0, 8.0]] * A)
    out = P.postprocess(preds, conf_thres=0.3, refine=head, num_kpts=2, n_pline=3, input_size=64)
    n = out[1]["boxes"].shape[0]
    scores = preds["cls_raw"][1].sigmoid().max(1)[0]
    idx = ref.postprocess(preds, conf_thres=0.3, num_kpts=2, n_pline=3, input_size=64)[1]
    assert torch.equal(idx["boxes"], out[1]["boxes"]) and n > 1
    anchors = [int((scores == s).nonzero()[0]) for s in out[1]["scores"]]
    want = (preds["coef"][1, anchors] @ preds["protos"][1].reshape(4, -1)).reshape(n, 32, 32)
    assert torch.equal(head.coarse, want)


def test_mask_path_selection():
    preds = make_preds(f2=False)
    head = RecordingHead([[0, 0, 1, 1]] * A)
    kw = dict(num_kpts=2, n_pline=3, input_size=64)
    assert_same(P.postprocess(preds, refine=head, **kw), ref.postprocess(preds, **kw))
    assert head.calls == []
    preds["f2"] = torch.randn(2, 4, 32, 32)
    assert_same(P.postprocess(preds, **kw), ref.postprocess(preds, **kw))
    P.postprocess(preds, refine=head, **kw)
    assert head.calls


def test_keypoint_decoding():
    preds = one_image({0: (0, 3.0)})
    preds["kpt_raw"] = torch.zeros(1, A, 3)
    preds["kpt_raw"][0, 0] = torch.tensor([0.5, -1.0, 0.0])
    out = P.postprocess(preds, num_kpts=1)[0]
    assert out["kpts"].tolist() == [[[8.0, -4.0, 0.5]]]
    assert math.isclose(out["scores"][0].item(), torch.sigmoid(torch.tensor(3.0)).item())


# ---- the CPU fast path of selection and NMS ---------------------------------------------------
#
# While batched_nms is torchvision's own, selection and class-aware NMS run in C++; they must
# return exactly what the Python path returns: rebinding batched_nms to a wrapper forces that
# path (the selection stays the same), and the eager formulation checks the selection too.

def python_nms(boxes, scores, idxs, iou):
    return torchvision.ops.batched_nms(boxes, scores, idxs, iou)


def assert_equal(got, want):
    """The same dictionaries, tensor for tensor: dtype, layout and values (NaN where NaN)."""
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert list(g) == list(w)
        for key in g:
            a, b = g[key], w[key]
            assert a.dtype == b.dtype and a.shape == b.shape and a.stride() == b.stride(), key
            if a.is_floating_point():
                assert torch.equal(a.isnan(), b.isnan()), key
                a, b = a.nan_to_num(0.0), b.nan_to_num(0.0)
            assert torch.equal(a, b), key


def dense_preds(seed, b, shapes, nc, shift, rounding):
    g = torch.Generator().manual_seed(seed)
    a = sum(h * w for h, w in shapes)
    cls = torch.randn(b, a, nc, generator=g) * 2 - shift
    box = torch.randn(b, a, 4, generator=g) * 0.7 + 0.5
    if rounding:   # tied scores (and tied classes within an anchor), equal boxes
        cls, box = cls.round(), box.round()
    return {"feat_shapes": shapes, "cls_raw": cls, "box_raw": box,
            "kpt_raw": torch.randn(b, a, 6, generator=g), "pline_raw": torch.randn(b, a, 8, generator=g),
            "tag_logits": torch.randn(b, 3, generator=g)}


def candidates(preds, conf):
    return [int((s.sigmoid().max(1)[0] > conf).sum()) for s in preds["cls_raw"]]


BIG = [(40, 40), (20, 20), (10, 10)]   # 2100 anchors


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("seed", range(12))
def test_fast_nms_equals_python_path(monkeypatch, threads, seed):
    shapes = BIG if seed % 2 else SHAPES
    nc = [1, 3, 80, 7][seed % 4]
    preds = dense_preds(seed, b=1 + seed % 3, shapes=shapes, nc=nc, shift=[2, 4, 5][seed % 3],
                        rounding=seed % 3 == 0)
    if seed % 4 == 1:
        preds["cls_raw"][0] = -30.0   # an empty image
    conf = [0.05, 0.25, 0.0][seed % 3]
    kw = dict(conf_thres=conf, nms_iou=[0.7, 0.45, 0.0, 1.0][seed % 4],
              max_det=[300, 7, -2, 0, 10 ** 9, 100][seed % 6], pre_nms=[3000, 999, 1000, 1001, 0][seed % 5],
              num_kpts=2, n_pline=4, box_offset=[0.0, 0.5][seed % 2])
    before = torch.get_num_threads()
    torch.set_num_threads(threads)
    try:
        got = P.postprocess(preds, **kw)
        assert_equal(got, ref.postprocess(preds, **kw))
        monkeypatch.setattr(P, "batched_nms", python_nms)
        assert_equal(got, P.postprocess(preds, **kw))
    finally:
        torch.set_num_threads(before)


def vector_scalar_mismatch(fn, lo, hi):
    """A float in [lo, hi) whose fn differs between the library's vector loop
    and its scalar loop (the tail of a run shorter than one vector step)."""
    v = torch.linspace(lo, hi, 4096)
    for x in v.tolist():
        if fn(torch.full((64,), x))[0].item() != fn(torch.tensor([x]))[0].item():
            return x
    pytest.skip("the library's vector and scalar loops agree on this machine")


@pytest.mark.parametrize("where", ["cls_raw", "box_raw"])
def test_fast_path_at_a_chunk_boundary_of_two_threads(where):
    """2 x 4725 anchors x 4 values: two threads split the library's elementwise
    loop at 18900, whose last four elements (anchor 4724 of image 0) then take
    its scalar path and one thread's its vector path. A value there on which
    the paths differ cannot be reproduced for every thread count: the result
    is the formulation's all the same."""
    fn = torch.sigmoid if where == "cls_raw" else torch.nn.functional.softplus
    x = vector_scalar_mismatch(fn, 0.2, 1.0)
    preds = dense_preds(1, b=2, shapes=[(60, 60), (30, 30), (15, 15)], nc=4, shift=4, rounding=False)
    preds["cls_raw"][0, 4724, 1] = x if where == "cls_raw" else 5.0
    if where == "box_raw":
        preds["box_raw"][0, 4724] = x
    kw = dict(conf_thres=0.25, num_kpts=2, n_pline=4)
    before = torch.get_num_threads()
    try:
        for threads in (2, 1):
            torch.set_num_threads(threads)
            got = P.postprocess(preds, **kw)
            assert_equal(got, ref.postprocess(preds, **kw))
    finally:
        torch.set_num_threads(before)

def test_fast_nms_covers_both_torchvision_strategies(monkeypatch):
    # torchvision loops over classes above 4000 box coordinates (1000 boxes) on CPU and
    # offsets the boxes by class below. With tied scores the two return different orders
    # (a stable sort against the library's unstable one), so taking the wrong strategy
    # shows. Sizes on both sides and at the boundary, through pre_nms (top-k among ties).
    preds = dense_preds(3, b=2, shapes=BIG, nc=5, shift=2, rounding=True)
    assert min(candidates(preds, 0.05)) > 1001
    seen = []

    def recording(b, s, i, t):
        seen.append((b, s, i, t))
        return python_nms(b, s, i, t)

    differ = set()
    for pre_nms in (999, 1000, 1001, 3000):
        kw = dict(conf_thres=0.05, pre_nms=pre_nms, max_det=5000, num_kpts=2, n_pline=4)
        got = P.postprocess(preds, **kw)
        assert_equal(got, ref.postprocess(preds, **kw))
        monkeypatch.setattr(P, "batched_nms", recording)
        assert_equal(got, P.postprocess(preds, **kw))
        monkeypatch.setattr(P, "batched_nms", torchvision.ops.batched_nms)
        for b, s, i, t in seen:
            trick = torchvision.ops.boxes._batched_nms_coordinate_trick(b, s, i, t)
            loop = torchvision.ops.boxes._batched_nms_vanilla(b, s, i, t)
            if not torch.equal(trick, loop):
                differ.add(len(b))
        seen.clear()
    assert 1000 in differ and 1001 in differ and max(differ) > 1001


def test_fast_nms_cross_class_suppression_of_the_offset_trick(monkeypatch):
    # With negative coordinates the class offsets (max coordinate + 1) do not keep the
    # classes apart: torchvision then suppresses across classes, and so must we.
    fixed_boxes(monkeypatch, [[-10, 0, 10, 10], [-20, -10, 0, 5], [0, 0, 5, 5]])
    preds = one_image({0: (0, 3.0), 1: (1, 2.0), 2: (1, 1.0)})
    out = P.postprocess(preds, nms_iou=0.5)[0]
    assert out["cls"].tolist() == [0, 1]
    monkeypatch.setattr(P, "batched_nms", python_nms)
    assert_equal([out], P.postprocess(preds, nms_iou=0.5))


def test_fast_nms_special_values(monkeypatch):
    preds = dense_preds(5, b=2, shapes=SHAPES, nc=4, shift=0, rounding=False)
    preds["cls_raw"][0, 3, 1] = float("nan")     # that anchor's probability is NaN: no candidate
    preds["cls_raw"][0, 5] = float("inf")        # probability 1 in every class: the first wins
    preds["cls_raw"][1, 7, 2] = -float("inf")
    preds["box_raw"][1, 9, 0] = float("nan")
    preds["box_raw"][1, 11, 2] = float("inf")
    for kw in (dict(conf_thres=0.3), dict(conf_thres=-1.0), dict(conf_thres=1.0),
               dict(conf_thres=float("nan")), dict(conf_thres=0, nms_iou=float("nan")),
               dict(conf_thres=0.2, nms_iou=-0.5), dict(conf_thres=0.2, box_offset=0.5, nms_iou=2),
               # IoU thresholds beyond float32's range, either side
               dict(conf_thres=0.2, nms_iou=1e39), dict(conf_thres=0.2, nms_iou=float("inf")),
               dict(conf_thres=0.2, nms_iou=-1e39)):
        kw.update(num_kpts=2, n_pline=4)
        got = P.postprocess(preds, **kw)
        assert_equal(got, ref.postprocess(preds, **kw))
        monkeypatch.setattr(P, "batched_nms", python_nms)
        assert_equal(got, P.postprocess(preds, **kw))
        monkeypatch.setattr(P, "batched_nms", torchvision.ops.batched_nms)
    out = P.postprocess(preds, conf_thres=0.3, num_kpts=2, n_pline=4)[0]
    assert not out["scores"].isnan().any()
    assert out["scores"][0] == 1.0 and out["cls"][0] == 0 and (out["scores"] == 1.0).sum() == 1


def test_fast_path_taken_only_while_batched_nms_is_torchvision(monkeypatch):
    preds = dense_preds(1, b=2, shapes=BIG, nc=10, shift=4, rounding=False)

    def regions():
        with torch.profiler.profile() as prof:
            P.postprocess(preds, conf_thres=0.05, num_kpts=2, n_pline=4)
        return {e.key for e in prof.key_averages()}

    names = regions()
    if halcyra._generic == "1":     # torchvision's batched_nms, as for other devices
        assert "halcyra::class_nms" not in names and "torchvision::nms" in names
    else:
        assert "halcyra::class_nms" in names and "torchvision::nms" not in names
    # torchvision's own helpers patched: its Python function runs, and with it the patch.
    seen = []
    vanilla = torchvision.ops.boxes._batched_nms_vanilla
    monkeypatch.setattr(torchvision.ops.boxes, "_batched_nms_vanilla",
                        lambda *a: seen.append(1) or vanilla(*a))
    names = regions()
    assert seen and "halcyra::class_nms" not in names and "torchvision::nms" in names
def test_refine_sanitize_with_fewer_rows_fails_like_indexing():
    """A head whose sanitize returns fewer boxes than detections: the region
    loop used to read past the edges it copied to the host; it now fails as
    int(rx1[k]) does (IndexError), and a refine head on an f2 without cells
    raises ValueError."""
    preds = make_preds(seed=4)

    class ShortHead(PoolHead):
        def sanitize(self, boxes, size, stride):
            return boxes[:1].clamp(0, size[1] * stride)

    kw = dict(conf_thres=0.3, num_kpts=2, n_pline=3, input_size=64)
    raises_like(error_of(ref.postprocess, preds, refine=ShortHead(), **kw),
                P.postprocess, preds, refine=ShortHead(), message=False, **kw)
    from halcyra.models.refine import RefineHead
    for f2 in (torch.randn(2, 4, 0, 32), torch.randn(2, 4, 32, 0)[..., :0]):
        preds["f2"] = f2
        head = RefineHead(4, 5, 4)
        raises_like(error_of(ref.postprocess, preds, refine=head, **kw),
                    P.postprocess, preds, refine=head, **kw)


class Entry:
    """A prediction entry that is not a tensor: its own indexing and .float()."""

    def __init__(self, t, log):
        self.t, self.log = t, log

    def __getitem__(self, key):
        self.log.append(type(key).__name__)
        return Entry(self.t[key], self.log)

    def float(self):
        return self.t.float()


class ListHead(PoolHead):
    """Refined maps as a list of tensors."""

    def __call__(self, *args):
        return list(super().__call__(*args))


class StackedHead(PoolHead):
    """Refined maps with an extra dimension: the resize of such a map fails."""

    def __call__(self, *args):
        return super().__call__(*args)[:, None]


@pytest.mark.parametrize("head", [None, ListHead, StackedHead])
def test_entries_and_refined_maps_that_are_not_tensors(head):
    """Entries other than tensors are indexed and converted by their own
    methods, a refine head's result by its own indexing and the resize, as the
    plain formulation does: same results or the same error."""
    log = []
    preds = make_preds(seed=3)
    for key in ("cls_raw", "box_raw", "protos", "coef", "kpt_raw", "pline_raw", "tag_logits"):
        preds[key] = Entry(preds[key], log)
    kw = dict(num_kpts=2, n_pline=3, input_size=64, refine=head() if head else None)
    same_outcome(lambda: P.postprocess(preds, **kw), lambda: ref.postprocess(preds, **kw),
                 assert_same)
    # protos[b], coef[b, idx]; then (unless the masks failed) pline_raw[b:b+1]
    assert {"int", "tuple"} | (set() if head is StackedHead else {"slice"}) <= set(log)


def test_number_like_parameters_behave_as_python_numbers():
    """Thresholds and counts given as other number types (numpy scalars, 0-d
    tensors) are compared, sliced with and converted as Python would: the
    detections of the plain numbers; a type the tensor comparison refuses is
    its TypeError."""
    np = pytest.importorskip("numpy")
    from fractions import Fraction
    preds = make_preds(seed=3)
    kw = dict(num_kpts=2, n_pline=3, input_size=64)
    want = P.postprocess(preds, conf_thres=0.5, max_det=7, pre_nms=40, mask_thres=0.5, **kw)
    for conf, count, mask in ((np.float32(0.5), np.int64(7), np.float64(0.5)),
                              (np.float64(0.5), np.int32(7), np.float32(0.5)),
                              (torch.tensor(0.5), torch.tensor(7), torch.tensor(0.5))):
        got = P.postprocess(preds, conf_thres=conf, max_det=count, pre_nms=count * 0 + 40,
                            mask_thres=mask, **kw)
        assert_same(got, want)
    with pytest.raises(TypeError, match="'>' not supported"):
        P.postprocess(preds, conf_thres=Fraction(1, 2), **kw)


@pytest.mark.parametrize("kw,refine", [
    (dict(pre_nms=True), False), (dict(pre_nms=7.0), False), (dict(num_kpts=2.0), False),
    (dict(input_size=64.0), False), (dict(input_size=64.0), True), (dict(input_size=True), False),
    (dict(max_det=10 ** 30), False), (dict(max_det=7.0), False)])
def test_odd_arguments_behave_as_the_python_formulation(kw, refine):
    """Arguments the operators do not take run postprocess's steps in Python:
    the plain formulation's result or its exception, type and message."""
    preds = make_preds(seed=5)
    args = dict(dict(conf_thres=0.3, num_kpts=2, n_pline=3, input_size=64), **kw)
    head = PoolHead() if refine else None
    same_outcome(lambda: P.postprocess(preds, refine=head, **args),
                 lambda: ref.postprocess(preds, refine=head, **args), assert_same)


def test_rebound_decode_keeps_the_batch_operator(monkeypatch):
    """A replaced decode_boxes is called once for the batch, and selection and
    NMS still run in one operator over its boxes; a replaced decode_points is
    called once per image."""
    preds = make_preds(b=3, seed=6)
    kw = dict(conf_thres=0.3, num_kpts=2, n_pline=3, input_size=64, box_offset=0.5)
    want = P.postprocess(preds, **kw)
    calls = []

    def boxes(raw, points, stride, offset=0.0):
        calls.append("boxes")
        return D.decode_boxes(raw, points, stride, offset=offset)

    def lines(raw, points, stride, n):
        calls.append("points")
        return D.decode_points(raw, points, stride, n)

    monkeypatch.setattr(P, "decode_boxes", boxes)
    monkeypatch.setattr(P, "decode_points", lines)
    with torch.profiler.profile() as prof:
        got = P.postprocess(preds, **kw)
    assert_equal(got, want)
    assert calls == ["boxes"] + ["points"] * 3
    assert "halcyra::detect" in {e.name for e in prof.events()}
