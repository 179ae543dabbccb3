"""The predict module's operators (torch.ops.halcyra.*) against their tensor
formulations, on CPU through the fused kernels (and through the formulations
themselves under HALCYRA_GENERIC=1), their fake kernels and, where torch has
the compiler and Python fake kernels, a compiled function calling them."""
import math

import pytest
import torch
import torch.nn.functional as F
import torchvision

from halcyra.infer import predict  # noqa: F401  (registers the operators)

ops = torch.ops.halcyra
HAS_PY_FAKE = hasattr(torch.library, "get_ctx") and (
    hasattr(torch.library, "register_fake") or hasattr(torch.library, "impl_abstract"))


def rand(*shape, seed, steps=None):
    """Normal values; rounded to 1/steps where given, so that many tie."""
    t = torch.randn(*shape, generator=torch.Generator().manual_seed(seed))
    return t if steps is None else (t * steps).round() / steps


def rand_boxes(m, seed, scale=60.0):
    g = torch.Generator().manual_seed(seed)
    xy = torch.rand(m, 2, generator=g) * scale
    wh = torch.rand(m, 2, generator=g) * scale / 3 + 1
    return torch.cat([xy, xy + wh], 1)


# ---- the formulations --------------------------------------------------------------

def select_formulation(logits, thr):
    scores, cls = logits.sigmoid().max(-1)
    keep = scores > thr
    image, anchor = keep.nonzero(as_tuple=True)
    return image, anchor, scores[keep], cls[keep]


def masks_formulation(coarse, boxes, S, thres):
    if coarse.shape[0] == 0:
        return torch.zeros((0, S, S), dtype=torch.bool)
    m = F.interpolate(coarse.sigmoid()[None], size=(S, S), mode="bilinear", align_corners=False)[0]
    ys = torch.arange(S).view(1, S, 1)
    xs = torch.arange(S).view(1, 1, S)
    inside = ((xs >= boxes[:, 0, None, None]) & (xs <= boxes[:, 2, None, None])
              & (ys >= boxes[:, 1, None, None]) & (ys <= boxes[:, 3, None, None]))
    return (m > thres) & inside


def assert_equal(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert g.dtype == w.dtype and g.shape == w.shape
        assert torch.equal(g, w)


# ---- candidate selection and NMS -----------------------------------------------------

@pytest.mark.parametrize("shape", [(2, 84, 3), (3, 200, 1), (0, 5, 2), (2, 0, 4), (1, 130, 7)])
@pytest.mark.parametrize("thr", [0.25, 0.5, 0.93, -1.0, 1.0, float("nan")])
@pytest.mark.parametrize("steps", [None, 2])
def test_select_candidates_equals_formulation(shape, thr, steps):
    logits = rand(*shape, seed=sum(shape), steps=steps)
    assert_equal(ops.select_candidates(logits, thr), select_formulation(logits, thr))


def test_select_candidates_other_layouts_and_errors():
    logits = rand(2, 3, 90, seed=1).transpose(1, 2)  # not contiguous
    assert_equal(ops.select_candidates(logits, 0.4), select_formulation(logits, 0.4))
    wide = rand(2, 60, 3, seed=2).double()
    assert_equal(ops.select_candidates(wide, 0.4), select_formulation(wide, 0.4))
    with pytest.raises(ValueError, match="logits must have shape"):
        ops.select_candidates(torch.randn(4, 3), 0.5)
    empty = torch.randn(1, 4, 0)  # no class: the formulation's error for a maximum over nothing
    with pytest.raises(Exception) as want:
        select_formulation(empty, 0.5)
    with pytest.raises(want.type, match="non-zero size"):
        ops.select_candidates(empty, 0.5)


@pytest.mark.parametrize("m", [0, 1, 2, 300, 1001, 1500])
@pytest.mark.parametrize("seed", range(3))
def test_class_nms_equals_batched_nms(m, seed):
    """Both of torchvision's strategies (the per-class loop above 1000 boxes),
    tied scores, identical boxes."""
    boxes = rand_boxes(m, seed)
    if m > 4:
        boxes[m // 2] = boxes[0]
    scores = (torch.rand(m, generator=torch.Generator().manual_seed(seed)) * 8).round() / 8
    cls = torch.randint(0, 4, (m,), generator=torch.Generator().manual_seed(seed + 9))
    for iou in (0.0, 0.5, 0.7):
        want = torchvision.ops.batched_nms(boxes, scores, cls, iou)
        got = ops.class_nms(boxes, scores, cls, iou)
        assert got.dtype == torch.long and torch.equal(got, want), iou


def test_class_nms_other_types_and_errors():
    boxes, scores = rand_boxes(50, 3), torch.rand(50)
    cls = torch.randint(-2, 3, (50,))  # negative classes: the formulation
    want = torchvision.ops.batched_nms(boxes, scores, cls, 0.5)
    assert torch.equal(ops.class_nms(boxes, scores, cls, 0.5), want)
    cls = cls.abs()
    want = torchvision.ops.batched_nms(boxes.double(), scores.double(), cls, 0.5)
    assert torch.equal(ops.class_nms(boxes.double(), scores.double(), cls, 0.5), want)
    with pytest.raises(ValueError, match="boxes \\(m, 4\\)"):
        ops.class_nms(boxes[:, :3], scores, cls, 0.5)
    with pytest.raises(ValueError, match="boxes \\(m, 4\\)"):
        ops.class_nms(boxes, scores[:-1], cls, 0.5)


def detect_formulation(logits, boxes_all, conf, pre_nms, iou, max_det):
    """postprocess's selection and NMS, image by image, as plain Python."""
    out = ([], [], [], [])
    for b in range(logits.shape[0]):
        scores, cls = logits[b].sigmoid().max(1)
        idx = (scores > conf).nonzero(as_tuple=True)[0]
        if len(idx) > pre_nms:
            idx = idx[scores[idx].topk(pre_nms)[1]]
        keep = torchvision.ops.batched_nms(boxes_all[b, idx], scores[idx], cls[idx], iou)[:max_det]
        for lst, t in zip(out, (idx, boxes_all[b, idx], scores[idx], cls[idx])):
            lst.append(t[keep])
    return out


@pytest.mark.parametrize("a,nc,steps", [(84, 3, None), (84, 4, 2), (1200, 2, 2), (0, 3, None)])
@pytest.mark.parametrize("conf,pre_nms,iou,max_det", [(0.3, 3000, 0.7, 300), (0.5, 5, 0.45, 3),
                                                      (0.05, 1001, 0.5, -2), (0.2, 0, 1.0, 0)])
@pytest.mark.parametrize("decode", [False, True])
def test_detect_equals_formulation(a, nc, steps, conf, pre_nms, iou, max_det, decode):
    """Every image's detections: ties (rounded logits and boxes), both of
    torchvision's strategies (over 1000 candidates), caps and negative cuts;
    the candidates' boxes decoded inside from raw regressions or given."""
    from halcyra.infer.decode import decode_boxes
    logits = rand(3, a, nc, seed=a + nc, steps=steps) * 2
    raw = rand(3, a, 4, seed=a + 1, steps=steps) + 1
    points, strides = torch.rand(a, 2) * 200, torch.full((a,), 8.0)
    boxes_all = decode_boxes(raw, points, strides, 0.5)
    want = detect_formulation(logits, boxes_all, conf, pre_nms, iou, max_det)
    args = (raw, points, strides, 0.5) if decode else (boxes_all, None, None, 0)
    *got, counts = ops.detect(logits, *args, conf, pre_nms, iou, max_det)
    # (B, K) rows per field, K what an image can keep at most; rows past an
    # image's count are zero
    cap = min(a, pre_nms)
    k = min(cap, max_det) if max_det >= 0 else max(0, cap + max_det)
    assert [t.shape[:2] for t in got] == [(3, k)] * 4 and counts.tolist() == [len(t) for t in want[0]]
    for g, w in zip(got, want):
        for b, n in enumerate(counts.tolist()):
            assert_equal(g[b, :n], w[b])
            assert not g[b, n:].any()


def test_detect_shapes_checked():
    logits, boxes = torch.randn(2, 10, 3), torch.randn(2, 10, 4)
    for bad in ((logits[0], boxes), (logits, boxes[:, :9]), (logits, boxes[..., :3]),
                (logits[..., :0], boxes)):
        with pytest.raises(ValueError, match="detect\\(\\)"):
            ops.detect(*bad, None, None, 0, 0.5, 10, 0.5, 10)
    with pytest.raises(ValueError, match="points \\(A, 2\\)"):
        ops.detect(logits, boxes, torch.zeros(9, 2), torch.ones(9), 0, 0.5, 10, 0.5, 10)


# ---- masks ---------------------------------------------------------------------------

@pytest.mark.parametrize("n,hm,S", [(0, 8, 32), (1, 8, 32), (3, 16, 64), (5, 20, 48)])
@pytest.mark.parametrize("thres", [0.5, 0.3])
def test_masks_equal_formulation(n, hm, S, thres):
    coef, protos = rand(n, 4, seed=n), rand(4, hm, hm, seed=hm)
    boxes = rand_boxes(n, n + 1, scale=S)
    coarse = (coef @ protos.reshape(4, -1)).reshape(n, hm, hm)
    want = masks_formulation(coarse, boxes, S, thres)
    assert_equal([ops.coarse_masks(coarse, boxes, S, thres)], [want])
    assert_equal([ops.prototype_masks(coef, protos, boxes, S, thres)], [want])


def test_masks_with_inputs_requiring_grad_and_errors():
    coef = rand(3, 4, seed=0).requires_grad_()
    protos, boxes = rand(4, 16, 16, seed=1), rand_boxes(3, 2, scale=64)
    m = ops.prototype_masks(coef, protos, boxes, 64, 0.5)
    coarse = (coef @ protos.reshape(4, -1)).reshape(3, 16, 16)
    assert not m.requires_grad and torch.equal(m, masks_formulation(coarse.detach(), boxes, 64, 0.5))
    c = ops.coarse_masks(coarse, boxes, 64, 0.5)
    assert not c.requires_grad and torch.equal(c, m)
    with pytest.raises(ValueError, match="boxes must have shape"):
        ops.coarse_masks(coarse.detach(), boxes[:2], 64, 0.5)
    with pytest.raises(ValueError, match="size must be positive"):
        ops.coarse_masks(coarse.detach(), boxes, 0, 0.5)
    with pytest.raises(ValueError, match="coef \\(n, P\\)"):
        ops.prototype_masks(coef.detach(), protos[:3], boxes, 64, 0.5)


def paste_loop(ref, rx1, ry1, rx2, ry2, n, S, thres):
    """The refine path's paste as postprocess's Python loop writes it."""
    masks = torch.zeros((n, S, S), dtype=torch.bool)
    for k in range(n):
        x1, y1, x2, y2 = int(rx1[k]), int(ry1[k]), int(rx2[k]), int(ry2[k])
        patch = F.interpolate(ref[k][None, None], size=(y2 - y1, x2 - x1), mode="bilinear",
                              align_corners=False)[0, 0]
        masks[k, y1:y2, x1:x2] = patch.sigmoid() > thres
    return masks


@pytest.mark.parametrize("S,w2", [(64, 32), (640, 213), (50, 64)])
def test_refine_regions_and_paste_equal_the_python_flow(S, w2):
    """Regions snapped outward, widened to the stride and kept on the canvas
    (boxes inside, across the edges and outside it), and the pasted masks."""
    mn = max(math.ceil(S / w2), 1)
    boxes = rand_boxes(12, 5, scale=S * 1.4) - S * 0.2
    boxes[3] = torch.tensor([S - 0.8, 1.2, S - 0.5, 1.4])
    rx1 = torch.floor(boxes[:, 0]).clamp(0, S - mn)
    ry1 = torch.floor(boxes[:, 1]).clamp(0, S - mn)
    rx2 = torch.maximum(torch.ceil(boxes[:, 2]), rx1 + mn).clamp(max=S)
    ry2 = torch.maximum(torch.ceil(boxes[:, 3]), ry1 + mn).clamp(max=S)
    regions = ops.refine_regions(boxes, S, mn)
    assert_equal([regions], [torch.stack([rx1, ry1, rx2, ry2], 1)])
    ref = rand(12, 7, 5, seed=S) * 3
    for thres in (0.5, 0.3):
        assert_equal([ops.paste_masks(ref, regions, boxes, S, thres)],
                     [paste_loop(ref, rx1, ry1, rx2, ry2, 12, S, thres)])


def test_paste_fails_as_the_python_loop():
    """Rows missing from the regions or the maps, and NaN edges: the loop's
    exception, type and message, at the same row."""
    from tests.torch_like import error_of, raises_like
    regions = ops.refine_regions(rand_boxes(4, 1, scale=40), 64, 2)
    ref, boxes = rand(4, 5, 5, seed=2), torch.zeros(4, 4)
    nan = regions.clone()
    nan[2, 3] = float("nan")
    for r, g in ((ref, regions[:2]), (ref[:3], regions), (ref, nan)):
        raises_like(error_of(paste_loop, r, *g.unbind(1), 4, 64, 0.5),
                    ops.paste_masks, r, g, boxes, 64, 0.5)


# ---- keypoints and polyline points -----------------------------------------------------

@pytest.mark.parametrize("n", [0, 1, 40])
def test_gathered_rows_equal_formulation(n):
    A, K, N = 84, 3, 4
    points, strides = rand(A, 2, seed=1) * 10, rand(A, seed=2).abs() + 1
    idx = torch.randint(0, A, (n,), generator=torch.Generator().manual_seed(n))
    kraw, praw = rand(2, A, 3 * K, seed=3), rand(2, A, 2 * N, seed=4)
    r = kraw[1, idx].reshape(n, K, 3)
    want = torch.cat([r[..., :2] * strides[idx].view(n, 1, 1) + points[idx].view(n, 1, 2),
                      r[..., 2:].sigmoid()], -1)
    assert_equal([ops.gather_keypoints(kraw, 1, idx, points, strides, K)], [want])
    want = (praw[1].reshape(A, N, 2) * strides.view(-1, 1, 1) + points.view(-1, 1, 2))[idx]
    assert_equal([ops.gather_points(praw, 1, idx, points, strides, N)], [want])
    if n:
        with pytest.raises(IndexError):
            ops.gather_points(praw, 1, idx + A, points, strides, N)
    with pytest.raises(IndexError, match="image 2 out of range"):
        ops.gather_keypoints(kraw, 2, idx, points, strides, K)


@pytest.mark.parametrize("counts", [[0, 0, 0], [5, 0, 7], [7, 7, 7], [3, 1]])
def test_batch_gathers_equal_the_per_image_calls(counts):
    """.rows: image b's rows are the first counts[b] of row b of the padded
    indices, each image's result what the one-image operator gives; an index
    out of range anywhere (padding rows excepted) fails as that operator."""
    A, K, N, B = 84, 3, 4, 3
    points, strides = rand(A, 2, seed=1) * 10, rand(A, seed=2).abs() + 1
    idx = torch.randint(0, A, (B, 8), generator=torch.Generator().manual_seed(sum(counts)))
    idx[:, 7] = -5                       # padding, past every count: never read
    kraw, praw = rand(B, A, 3 * K, seed=3), rand(B, A, 2 * N, seed=4)
    rows = lambda b: idx[b, :counts[b]]  # noqa: E731
    assert_equal(ops.gather_keypoints.rows(kraw, idx, counts, points, strides, K),
                 [ops.gather_keypoints(kraw, b, rows(b), points, strides, K) for b in range(len(counts))])
    assert_equal(ops.gather_points.rows(praw, idx, counts, points, strides, N),
                 [ops.gather_points(praw, b, rows(b), points, strides, N) for b in range(len(counts))])
    # non-contiguous raw, float64 anchors: the formulation, image by image
    kraw_t = kraw.transpose(0, 1).contiguous().transpose(0, 1)
    assert_equal(ops.gather_keypoints.rows(kraw_t, idx, counts, points.double(), strides, K),
                 [ops.gather_keypoints(kraw_t, b, rows(b), points.double(), strides, K)
                  for b in range(len(counts))])
    if counts[-1]:
        bad = idx.clone()
        bad[len(counts) - 1, 0] = A
        with pytest.raises(IndexError):
            ops.gather_points.rows(praw, bad, counts, points, strides, N)
        with pytest.raises(IndexError):
            ops.gather_keypoints.rows(kraw, bad, counts, points, strides, K)
    with pytest.raises(ValueError, match="a count of 9"):
        ops.gather_points.rows(praw, idx, [9] * len(counts), points, strides, N)
    with pytest.raises(IndexError, match="4 images"):
        ops.gather_keypoints.rows(kraw, idx, [1] * 4, points, strides, K)
    meta = dict(device="meta")
    k = ops.gather_keypoints.rows(kraw.to(**meta), idx.to(**meta), counts, points.to(**meta),
                                  strides.to(**meta), K)
    assert [t.shape for t in k] == [(n, K, 3) for n in counts]


def test_image_rows_are_each_images_rows_in_memory_of_their_own():
    found = [torch.arange(12).reshape(3, 4), torch.randn(3, 4, 4), torch.randn(3, 4)[:, :3]]
    counts = [2, 0, 3]
    got = ops.image_rows(found, counts)
    want = [t[b, :n] for b, n in enumerate(counts) for t in found]
    assert_equal(got, want)
    assert all(g.is_contiguous() for g in got)
    got[0].fill_(-1)
    assert found[0][0, 0] == 0
    with pytest.raises(ValueError, match="a count of 5"):
        ops.image_rows(found, [5, 0, 0])
    with pytest.raises(IndexError, match="4 images"):
        ops.image_rows(found, [0] * 4)


# ---- fake kernels and the compiler -------------------------------------------------------

def test_meta_kernels_give_shapes():
    meta = dict(device="meta")
    m = ops.coarse_masks(torch.empty(5, 8, 8, **meta), torch.empty(5, 4, **meta), 32, 0.5)
    assert m.shape == (5, 32, 32) and m.dtype == torch.bool
    m = ops.prototype_masks(torch.empty(5, 3, **meta), torch.empty(3, 8, 8, **meta),
                            torch.empty(5, 4, **meta), 16, 0.5)
    assert m.shape == (5, 16, 16) and m.dtype == torch.bool
    k = ops.gather_keypoints(torch.empty(2, 9, 6, **meta), 1, torch.empty(4, dtype=torch.long, **meta),
                             torch.empty(9, 2, **meta), torch.empty(9, **meta), 2)
    assert k.shape == (4, 2, 3) and k.dtype == torch.float32
    with pytest.raises(ValueError, match="boxes must have shape"):
        ops.coarse_masks(torch.empty(5, 8, 8, **meta), torch.empty(4, 4, **meta), 32, 0.5)


@pytest.mark.skipif(not HAS_PY_FAKE, reason="this torch has no Python fake kernels")
def test_fake_kernels_give_unbacked_sizes():
    from torch._subclasses.fake_tensor import FakeTensorMode
    from torch.fx.experimental.symbolic_shapes import ShapeEnv
    with FakeTensorMode(shape_env=ShapeEnv()) as mode:
        logits = mode.from_tensor(torch.randn(2, 84, 3))
        image, anchor, score, cls = ops.select_candidates(logits, 0.5)
        assert isinstance(image.shape[0], torch.SymInt)
        assert [t.dtype for t in (image, anchor, score, cls)] == [torch.long] * 2 + [torch.float, torch.long]
        boxes = mode.from_tensor(torch.randn(7, 4))
        keep = ops.class_nms(boxes, mode.from_tensor(torch.randn(7)),
                             mode.from_tensor(torch.zeros(7, dtype=torch.long)), 0.5)
        assert isinstance(keep.shape[0], torch.SymInt) and keep.dtype == torch.long
        with pytest.raises(ValueError, match="boxes \\(m, 4\\)"):
            ops.class_nms(boxes, mode.from_tensor(torch.randn(6)),
                          mode.from_tensor(torch.zeros(7, dtype=torch.long)), 0.5)
        for pre_nms, max_det, k in ((3000, 300, 84), (50, 300, 50), (3000, 20, 20), (40, -30, 10),
                                    (5, -30, 0)):
            found = ops.detect(logits, mode.from_tensor(torch.randn(2, 84, 4)), None, None, 0,
                               0.5, pre_nms, 0.7, max_det)
            assert [tuple(t.shape) for t in found] == [(2, k), (2, k, 4), (2, k), (2, k), (2,)]
            assert [t.dtype for t in found] == [torch.long, torch.float, torch.float, torch.long,
                                                torch.long]


def detect(logits, boxes_all, thr, iou):
    """Candidates, their boxes, class-aware NMS: the data-dependent operators in a row."""
    image, anchor, score, cls = ops.select_candidates(logits, thr)
    boxes = boxes_all[image, anchor]
    keep = ops.class_nms(boxes, score, cls + image * logits.shape[2], iou)
    return boxes[keep], score[keep], cls[keep]


@pytest.mark.skipif(not (HAS_PY_FAKE and hasattr(torch, "compile")),
                    reason="this torch has no compiler with Python fake kernels")
def test_compiled_calls_equal_eager():
    import torch._dynamo as dynamo
    config = dynamo.config
    before = config.capture_dynamic_output_shape_ops
    config.capture_dynamic_output_shape_ops = True
    try:
        dynamo.reset()
        fn = torch.compile(detect, fullgraph=True, backend="aot_eager")
        for seed, thr in [(0, 0.6), (1, 0.3), (2, 0.999)]:
            logits = rand(2, 150, 3, seed=seed)
            boxes_all = rand_boxes(300, seed).view(2, 150, 4)
            assert_equal(fn(logits, boxes_all, thr, 0.5), detect(logits, boxes_all, thr, 0.5))
    finally:
        config.capture_dynamic_output_shape_ops = before
        dynamo.reset()


def test_cpu_kernels_take_the_fused_paths():
    """The CPU kernels run no step of the formulation where their fused kernel
    applies; under HALCYRA_GENERIC=1 they run the formulation."""
    import halcyra
    A, n = 84, 6
    coef, protos, boxes = rand(n, 4, seed=0), rand(4, 32, 32, seed=1), rand_boxes(n, 2, scale=128)
    points, strides, idx = rand(A, 2, seed=3), rand(A, seed=4).abs(), torch.arange(0, A, 7)
    calls = [(lambda: ops.select_candidates(rand(2, A, 3, seed=5), 0.4), "aten::nonzero"),
             (lambda: ops.detect(rand(2, A, 3, seed=5), rand(2, A, 4, seed=6), points, strides, 0.5,
                                 0.4, 3000, 0.5, 300), "aten::nonzero"),
             (lambda: ops.class_nms(rand_boxes(40, 6), torch.rand(40), torch.arange(40) % 3, 0.5),
              "torchvision::nms"),
             (lambda: ops.prototype_masks(coef, protos, boxes, 128, 0.5), "aten::matmul"),
             (lambda: ops.gather_keypoints(rand(1, A, 6, seed=7), 0, idx, points, strides, 2),
              "aten::index"),
             (lambda: ops.gather_points(rand(1, A, 8, seed=8), 0, idx, points, strides, 4),
              "aten::index"),
             (lambda: ops.gather_keypoints.rows(rand(2, A, 6, seed=7), idx.repeat(2, 1), [3, 5],
                                                points, strides, 2), "aten::index"),
             (lambda: ops.gather_points.rows(rand(2, A, 8, seed=8), idx.repeat(2, 1), [3, 5],
                                             points, strides, 4), "aten::index")]
    for call, formulation_step in calls:
        call()  # first use: the masks' arithmetic is matched once per process
        with torch.profiler.profile() as prof:
            call()
        names = {e.name for e in prof.events()}
        if halcyra._generic == "1":
            assert formulation_step in names, formulation_step
        elif halcyra._generic == "0":
            assert formulation_step not in names, (formulation_step, sorted(names))
