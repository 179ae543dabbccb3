"""Robustness of postprocess: random shapes, dtypes, layouts, NaN/inf and
missing or junk entries give detection dictionaries of the documented form or
an exception of the documented type, never a crash, and preds is unchanged."""
import pytest
import torch
from hypothesis import given
from hypothesis import strategies as st

from tests.reliability.conftest import FLOATS, JUNK, call_unchanged, check_no_leak, same_in_threads, tensors

predict = pytest.importorskip("halcyra.infer.predict")

ERRORS = (KeyError, ValueError, TypeError, RuntimeError, IndexError)
S = 64


@st.composite
def raw_preds(draw, with_grad=False):
    b = draw(st.integers(0, 3))
    shapes = draw(st.sampled_from([[(8, 8), (4, 4), (2, 2)], [(2, 3), (1, 2), (1, 1)], [(1, 1)]]))
    a = sum(h * w for h, w in shapes[:3])
    nc = draw(st.integers(1, 4))
    preds = {"feat_shapes": shapes,
             "cls_raw": draw(tensors((b, a, nc), FLOATS, lo=-4, hi=4)),
             "box_raw": draw(tensors((b, a, 4), FLOATS, lo=-3, hi=3))}
    p = draw(st.integers(1, 3))
    k = draw(st.integers(1, 3))
    n = draw(st.integers(1, 4))
    if draw(st.booleans()):
        preds["coef"] = draw(tensors((b, a, p), FLOATS))
        preds["protos"] = draw(tensors((b, p, S // 2, S // 2), FLOATS))
        if draw(st.booleans()):
            preds["f2"] = draw(tensors((b, 4, S // 2, S // 2), FLOATS, special=False))
    if draw(st.booleans()):
        preds["kpt_raw"] = draw(tensors((b, a, 3 * k), FLOATS))
    if draw(st.booleans()):
        preds["pline_raw"] = draw(tensors((b, a, 2 * n), FLOATS))
    if draw(st.booleans()):
        preds["tag_logits"] = draw(tensors((b, draw(st.integers(0, 3))), FLOATS))
    if with_grad:
        for key, v in preds.items():
            if isinstance(v, torch.Tensor) and v.is_floating_point() and v.is_leaf:
                preds[key] = v.detach().requires_grad_(True)
    return preds, k, n


class RecordingHead:
    """A minimal refine head: returns the coarse logits' mean as a 3x3 map per region."""
    roi = 3

    def sanitize(self, boxes, size, stride):
        return boxes.clamp(0, size[1] * stride)

    def __call__(self, f2, coarse, boxes, bidx, stride):
        return coarse.mean((1, 2))[:, None, None].expand(-1, 3, 3) + boxes.new_zeros(1)


def check_result(out, preds, k, n):
    b = preds["cls_raw"].shape[0]
    assert isinstance(out, list) and len(out) == b
    for res in out:
        keys = ["boxes", "scores", "cls"] + [name for key, name in
                                           [("coef", "masks"), ("kpt_raw", "kpts"),
                                            ("pline_raw", "plines"), ("tag_logits", "tags")]
                                           if key in preds]
        assert list(res) == keys
        m = res["boxes"].shape[0]
        assert res["boxes"].shape == (m, 4) and res["boxes"].dtype == torch.float32
        assert res["scores"].shape == (m,) and res["scores"].dtype == torch.float32
        assert res["cls"].shape == (m,) and res["cls"].dtype == torch.int64
        if "masks" in res:
            assert res["masks"].shape == (m, S, S) and res["masks"].dtype == torch.bool
        if "kpts" in res:
            assert res["kpts"].shape == (m, k, 3) and res["kpts"].dtype == torch.float32
        if "plines" in res:
            assert res["plines"].shape == (m, n, 2) and res["plines"].dtype == torch.float32
        if "tags" in res:
            assert res["tags"].shape == preds["tag_logits"].shape[1:]
        assert not any(t.requires_grad for t in res.values())
        if m > 1:
            assert (res["scores"][:-1] >= res["scores"][1:]).all()


@given(raw_preds(), st.sampled_from([0.0, 0.25, 0.6]), st.sampled_from([0.3, 0.7]),
       st.integers(0, 5), st.integers(0, 20), st.booleans(), st.sampled_from([0.0, 0.5]))
def test_postprocess_any_input(pk, conf, iou, max_det, pre_nms, use_head, offset):
    preds, k, n = pk
    head = RecordingHead() if use_head else None
    out, exc = call_unchanged(predict.postprocess, preds, conf, iou, max_det, pre_nms, 0.5, k, n,
                              S, head, offset, expect=ERRORS)
    if exc is None:
        check_result(out, preds, k, n)
        assert all(r["boxes"].shape[0] <= max_det for r in out)


@given(raw_preds(with_grad=True))
def test_postprocess_grad_inputs_and_mode_restored(pk):
    preds, k, n = pk
    torch.set_grad_enabled(True)
    out, exc = call_unchanged(predict.postprocess, preds, num_kpts=k, n_pline=n, input_size=S,
                              expect=ERRORS)
    assert torch.is_grad_enabled()
    if exc is None:
        check_result(out, preds, k, n)


@given(st.sampled_from(["cls_raw", "box_raw", "feat_shapes"]), st.sampled_from(JUNK + ["missing"]))
def test_postprocess_missing_or_junk_entries(key, junk):
    preds = {"feat_shapes": [(2, 2)], "cls_raw": torch.randn(1, 4, 2), "box_raw": torch.randn(1, 4, 4)}
    if junk == "missing":
        del preds[key]
        with pytest.raises(KeyError):
            predict.postprocess(preds, input_size=S)
        return
    preds[key] = junk
    call_unchanged(predict.postprocess, preds, input_size=S, expect=ERRORS + (AttributeError,))


def small_preds(seed):
    g = torch.Generator().manual_seed(seed)
    shapes = [(4, 4), (2, 2), (1, 1)]
    return {"feat_shapes": shapes, "cls_raw": torch.randn(2, 21, 3, generator=g) * 3,
            "box_raw": torch.randn(2, 21, 4, generator=g),
            "coef": torch.randn(2, 21, 4, generator=g), "protos": torch.randn(2, 4, 16, 16, generator=g),
            "kpt_raw": torch.randn(2, 21, 6, generator=g), "pline_raw": torch.randn(2, 21, 8, generator=g),
            "tag_logits": torch.randn(2, 3, generator=g)}


def test_postprocess_no_leak():
    preds = small_preds(0)
    check_no_leak(lambda: predict.postprocess(preds, 0.3, num_kpts=2, n_pline=4, input_size=32),
                  list(preds.values()), warmup=100)


def same_detections(got, exp):
    return all(list(r) == list(e) and all(torch.equal(r[k], e[k]) for k in r)
               for r, e in zip(got, exp))


def test_postprocess_threads_match_sequential():
    kw = dict(conf_thres=0.3, num_kpts=2, n_pline=4, input_size=32)
    same_in_threads(lambda p: predict.postprocess(p, **kw), [small_preds(s) for s in range(4)],
                    same_detections, repeat=20)


def same_tensor(a, b):
    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    if a.is_floating_point():
        return torch.equal(a.isnan(), b.isnan()) and torch.equal(a.nan_to_num(0.0), b.nan_to_num(0.0))
    return torch.equal(a, b)


def same_results(got, want):
    """Equal dictionaries, tensor for tensor (NaN where NaN), or the same exception."""
    if isinstance(got, BaseException) or isinstance(want, BaseException):
        return type(got) is type(want) and str(got) == str(want)
    return len(got) == len(want) and all(
        list(r) == list(e) and all(same_tensor(r[key], e[key]) for key in r)
        for r, e in zip(got, want))


@given(raw_preds(), st.sampled_from([-0.5, 0.0, 0.25, 0.6, 1.0]), st.sampled_from([0.0, 0.3, 0.7, 1.5]),
       st.integers(-2, 6), st.integers(0, 20), st.sampled_from([0.0, 0.5]), st.integers(1, 2))
def test_postprocess_fast_nms_equals_python_path(pk, conf, iou, max_det, pre_nms, offset, threads):
    # torchvision's batched_nms in C++ against the function itself called through Python.
    preds, k, n = pk

    def run():
        try:
            return predict.postprocess(preds, conf, iou, max_det, pre_nms, 0.5, k, n, S, None, offset)
        except ERRORS as e:
            return e

    import torchvision
    before = torch.get_num_threads()
    torch.set_num_threads(threads)
    try:
        fast = run()
        predict.batched_nms = lambda *a: torchvision.ops.batched_nms(*a)
        slow = run()
    finally:
        predict.batched_nms = torchvision.ops.batched_nms
        torch.set_num_threads(before)
    assert same_results(fast, slow)
