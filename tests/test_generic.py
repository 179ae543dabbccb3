"""HALCYRA_GENERIC: the device-generic paths on the CPU ("1") and the fused
kernels without AVX2 / FMA ("scalar") give what the default paths give, and the
generic paths synchronise with the host a bounded number of times per call.

The setting is read once per process, so each setting other than this
process's own runs in a child interpreter (this file as a script)."""
import json
import os
import subprocess
import sys

import pytest
import torch

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

import halcyra  # noqa: E402
from halcyra import _torchcheck  # noqa: E402
from halcyra.infer import decode as D  # noqa: E402
from halcyra.infer import predict as P  # noqa: E402
from halcyra.losses import assigner as AS  # noqa: E402
from halcyra.models.neck import HRNeckLite  # noqa: E402
from halcyra.models.refine import RefineHead  # noqa: E402

from tests.test_losses_tasks import make_crit  # noqa: E402
from tests.test_predict import BIG, PoolHead, dense_preds, make_preds  # noqa: E402

MODE = halcyra._generic          # this process's setting, as the modules read it
SHAPES = [(8, 8), (4, 4), (2, 2)]  # a 64 x 64 input, 84 anchors
A, NC, K, NPL, T = 84, 4, 5, 6, 3


def child(mode, *args):
    # the child takes this run's verdict on torch's convolutions instead of probing again
    env = dict(os.environ, HALCYRA_GENERIC=mode,
               HALCYRA_TORCH_CHECK="sound" if _torchcheck.check().sound else "faulty")
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), *args], env=env,
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc


def criterion_case(B, G, seed=0):
    """Predictions and targets of every task (for make_crit's criterion), all supervised."""
    g = torch.Generator().manual_seed(seed)
    xy = torch.rand(B, G, 2, generator=g) * 40
    gt = torch.cat([xy, xy + torch.rand(B, G, 2, generator=g) * 20 + 8], -1)
    preds = {"feat_shapes": SHAPES, **make_preds(b=B, nc=NC, s=64, k=K, n=NPL, t=T, seed=seed)}
    preds["box_raw"] = preds["box_raw"] * 0.5 + 0.5
    yes, slots = torch.ones(B, dtype=torch.bool), torch.ones(B, G, dtype=torch.bool)
    kxy = xy[..., None, :] + torch.rand(B, G, K, 2, generator=g) * 8
    batch = {"gt_boxes": gt, "gt_cls": torch.randint(0, NC, (B, G), generator=g),
             "gt_valid": slots, "gt_ignore": torch.rand(B, G, generator=g) > 0.8,
             "has_rect": yes, "has_polygon": yes, "has_keypoint": yes, "has_polyline": yes,
             "gt_masks": (torch.rand(B, G, 32, 32, generator=g) > 0.5).to(torch.uint8),
             "gt_kpts": torch.cat([kxy, torch.randint(0, 3, (B, G, K, 1), generator=g).float()], -1),
             "gt_plines": torch.rand(B, G, NPL, 2, generator=g) * 64, "mask_valid": slots,
             "kpt_valid": slots, "pline_valid": slots, "has_tags": yes,
             "gt_tags": (torch.rand(B, T, generator=g) > 0.5).float()}
    return preds, batch


def refine_head(seed=0):
    torch.manual_seed(seed)
    head = RefineHead(in_ch=4, roi=6, hidden=8, min_side=3.0)
    with torch.no_grad():
        head.out.weight.normal_()
    return head


# ---- every entry point's results under one setting ----------------------------------

def compute():
    """Name -> (tensor, tolerance class) for every entry point on fixed inputs;
    torch's convolutions (the neck, the refine head) as they are where they are
    sound at 2 threads, else with oneDNN off, in every setting alike."""
    out = {}
    threads = torch.get_num_threads()
    torch.set_num_threads(2)
    try:
        with _torchcheck.sound_convolutions():
            _decode(out)
            _neck(out)
            _assign(out)
            _criterion(out)
            _postprocess(out)
    finally:
        torch.set_num_threads(threads)
    return out


def _decode(out):
    g = torch.Generator().manual_seed(1)
    for shapes in (SHAPES, [(8, 8), (3, 1)]):   # 84 and 67 anchors (odd: the vector loops' tails)
        pts, st = D.make_anchors(shapes)
        a = pts.shape[0]
        raw = torch.randn(3, a, 4, generator=g)
        raw[0, 0, 0] = float("nan")
        raw.requires_grad_()
        for off in (0.5, 0.0):
            boxes = D.decode_boxes(raw, pts, st, off)
            (grad,) = torch.autograd.grad(boxes, raw, torch.randn(boxes.shape, generator=g))
            out[f"decode_boxes/{a}/{off}"] = ("exact", boxes.detach())
            out[f"decode_boxes.grad/{a}/{off}"] = ("exact", grad)
            out[f"decode_boxes.nograd/{a}/{off}"] = ("exact", D.decode_boxes(raw.detach(), pts, st, off))
        for n in (5, 4):
            out[f"decode_points/{a}/{n}"] = ("exact", D.decode_points(
                torch.randn(3, a, 2 * n, generator=g), pts, st, n))
        out[f"make_anchors/{a}"] = ("exact", torch.cat([pts, st[:, None]], 1))


def _neck(out):
    torch.manual_seed(2)
    neck = HRNeckLite((4, 6, 8, 10), width=8, c2_ch=6, stem_ch=5)
    chans = [(5, 2), (4, 4), (6, 8), (8, 16), (10, 32)]
    ys = [torch.randn(2, c, 64 // s, 64 // s, requires_grad=True) for c, s in chans]
    res = neck(ys)
    loss = sum((v * torch.randn(v.shape)).sum() for v in res.values())
    grads = torch.autograd.grad(loss, ys + list(neck.parameters()))
    for k, v in res.items():
        out[f"neck/{k}"] = ("exact", v.detach())
    for i, gr in enumerate(grads):
        out[f"neck.grad/{i}"] = ("exact", gr)


def _assign(out):
    preds, batch = criterion_case(3, 5, seed=3)
    pts, st = D.make_anchors(SHAPES)
    boxes = D.decode_boxes(preds["box_raw"], pts, st, 0.5)
    args = [preds["cls_raw"].sigmoid(), boxes, pts, batch["gt_boxes"], batch["gt_cls"],
            batch["gt_valid"], batch["gt_ignore"]]
    ties = [torch.zeros_like(args[0])] + args[1:]      # every metric ties at 0
    for name, a in (("random", args), ("ties", ties)):
        for kw in ({}, {"topk": 4, "rescue": True, "target_floor": 0.1}):
            for i, r in enumerate(AS.assign(*a, strides=st, **kw)):
                out[f"assign/{name}/{len(kw)}/{i}"] = ("scores" if i == 3 else "exact", r)


def _criterion(out):
    for refine in (None, refine_head(4)):
        for cap in (1000, 5):                 # the second one caps the mask instances
            crit = make_crit(refine, {"refine_jitter": 0.1}, k=K, n=NPL, nc=NC)
            crit.MASK_CAP = cap
            preds, batch = criterion_case(3, 6, seed=5)
            leaves = [v.requires_grad_() for v in preds.values() if torch.is_tensor(v)]
            params = list(refine.parameters()) if refine is not None else []
            torch.manual_seed(6)              # the mask cap's permutation, the ROI jitter
            total, stats = crit(preds, batch)
            grads = torch.autograd.grad(total, leaves + params, allow_unused=True)
            tag = f"{refine is not None}/{cap}"
            out[f"criterion/{tag}/total"] = ("loss", total.detach())
            for k, v in stats.items():
                out[f"criterion/{tag}/{k}"] = ("loss", v)
            for i, gr in enumerate(grads):   # (no gradient: an empty tensor)
                out[f"criterion.grad/{tag}/{i}"] = ("loss", torch.zeros(0) if gr is None else gr)


def _postprocess(out):
    kw = dict(num_kpts=2, n_pline=3, input_size=64, box_offset=0.5)
    preds = make_preds(b=3, nc=NC, seed=7)
    for hname, head in (("coarse", None), ("pool", PoolHead()), ("head", refine_head(9).eval())):
        for b, det in enumerate(P.postprocess(preds, conf_thres=0.3, refine=head, **kw)):
            for k, v in det.items():
                out[f"postprocess/{hname}/{b}/{k}"] = ("exact", v)
    # more than 1,000 candidates (torchvision's per-class NMS on the CPU), tied scores and boxes
    for rounding in (False, True):
        preds = dense_preds(8, b=2, shapes=BIG, nc=7, shift=4, rounding=rounding)
        for b, det in enumerate(P.postprocess(preds, conf_thres=0.05, max_det=500,
                                              **dict(kw, n_pline=4))):
            for k, v in det.items():
                out[f"postprocess/dense/{rounding}/{b}/{k}"] = ("exact", v)


def results(mode):
    """compute() under `mode`, in this process when it is this process's setting."""
    if mode == MODE:
        return compute()
    import tempfile
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "results.pt")
        child(mode, "results", path)
        return torch.load(path)


TOLERANCE = {"exact": dict(rtol=0, atol=0),
             # the assigner's soft targets, as its own tests compare them
             "scores": dict(rtol=1e-5, atol=1e-7),
             "loss": dict(rtol=1e-6, atol=1e-9)}


@pytest.fixture(scope="module")
def default_results():
    return results("0")


@pytest.mark.parametrize("mode", ["1", "scalar"])
def test_results_equal_the_default_paths(mode, default_results):
    """Exactly the same boxes, points, anchors, neck features and gradients,
    assignments and detections (masks included); the criterion's losses and
    gradients within 1e-6 relative."""
    got = results(mode)
    assert list(got) == list(default_results)
    bad = []
    for key, (kind, want) in default_results.items():
        have = got[key][1]
        assert have.shape == want.shape and have.dtype == want.dtype, key
        try:
            torch.testing.assert_close(have, want, equal_nan=True, **TOLERANCE[kind])
        except AssertionError as exc:
            bad.append(f"{key}: {exc}")
    assert not bad, "\n".join(bad)


# ---- the setting itself -------------------------------------------------------------

def test_setting_as_the_modules_read_it():
    env = os.environ.get("HALCYRA_GENERIC", "")
    assert MODE == (env if env in ("1", "scalar") else "0")
    proc = subprocess.run([sys.executable, "-c", "import halcyra.infer.decode"],
                          env=dict(os.environ, HALCYRA_GENERIC="yes"), capture_output=True,
                          text=True, timeout=300)
    assert proc.returncode != 0
    assert "ValueError: HALCYRA_GENERIC='yes': expected '0'" in proc.stderr, proc.stderr
    assert "'1'" in proc.stderr and "'scalar'" in proc.stderr


# ---- host synchronisations of the generic paths ------------------------------------------

# Operations that make the host wait for a device: a value read on the host,
# a size that depends on the data, a copy to host memory (halcyra's own go
# through halcyra::host_read), and torchvision's nms (which reads its
# suppression mask on the host).
SYNC_OPS = {"aten::_local_scalar_dense", "aten::nonzero", "aten::masked_select", "aten::_unique",
            "aten::_unique2", "aten::unique_dim", "aten::unique_consecutive",
            "aten::unique_dim_consecutive", "aten::repeat_interleave", "aten::bincount",
            "aten::equal", "halcyra::host_read", "torchvision::nms"}


def syncs(fn):
    """Host synchronisations while fn() runs (outermost ones: a nonzero inside
    a masked_select counts once)."""
    with torch.profiler.profile(activities=[torch.profiler.ProfilerActivity.CPU]) as prof:
        fn()
    n = 0
    for e in prof.events():
        p = e.cpu_parent
        while p is not None and p.name not in SYNC_OPS:
            p = p.cpu_parent
        n += e.name in SYNC_OPS and p is None
    return n


def count_all():
    """Sync counts per entry point and size, under HALCYRA_GENERIC=1."""
    c = {}
    neck = HRNeckLite((4, 6, 8, 10), width=8, c2_ch=6, stem_ch=5)
    for B in (1, 3):
        pts, st = D.make_anchors(SHAPES)
        raw = torch.randn(B, A, 4, requires_grad=True)
        c[f"decode/{B}"] = syncs(lambda: (D.decode_boxes(raw, pts, st, 0.5).sum().backward(),
                                          D.decode_points(torch.randn(B, A, 6), pts, st, 3),
                                          D.flatten_preds(torch.randn(B, 3, 4, 4)),
                                          D.make_anchors(SHAPES)))
        ys = [torch.randn(B, ch, 64 // s, 64 // s) for ch, s in [(5, 2), (4, 4), (6, 8), (8, 16), (10, 32)]]
        c[f"neck/{B}"] = syncs(lambda: sum(v.sum() for v in neck(ys).values()).backward())
    for B, G in ((1, 2), (4, 6)):
        preds, batch = criterion_case(B, G)
        pts, st = D.make_anchors(SHAPES)
        args = (preds["cls_raw"].sigmoid(), D.decode_boxes(preds["box_raw"], pts, st), pts,
                batch["gt_boxes"], batch["gt_cls"], batch["gt_valid"], batch["gt_ignore"])
        c[f"assign/{B}/{G}"] = syncs(lambda: AS.assign(*args, strides=st))
        c[f"assign.rescue/{B}/{G}"] = syncs(lambda: AS.assign(*args, strides=st, rescue=True))
        for name, head, cap in (("plain", None, 1000), ("refine", refine_head(), 1000),
                                ("capped", None, 1)):
            crit = make_crit(head, {"refine_jitter": 0.1}, k=K, n=NPL, nc=NC)
            crit.MASK_CAP = cap
            for v in preds.values():
                if torch.is_tensor(v):
                    v.grad = None
                    v.requires_grad_()
            res = []
            c[f"criterion.{name}/{B}/{G}"] = syncs(lambda: res.append(crit(preds, batch)))
            c[f"criterion.{name}.backward/{B}/{G}"] = syncs(lambda: res[0][0].backward())
            c[f"positives/{B}/{G}"] = int(res[0][1]["num_pos"])
    head = refine_head().eval()
    for B, nc, thr in ((1, 3, 0.85), (3, 8, 0.2)):
        preds = make_preds(b=B, nc=nc)
        kw = dict(conf_thres=thr, num_kpts=2, n_pline=3, input_size=64, box_offset=0.5)
        for name, extra in (("coarse", {}), ("pool", {"refine": PoolHead()}), ("head", {"refine": head})):
            dets = []
            c[f"postprocess.{name}/{B}/{nc}"] = syncs(lambda: dets.extend(P.postprocess(preds, **kw, **extra)))
            c[f"detections/{B}/{nc}"] = [len(d["boxes"]) for d in dets]
    return c


@pytest.fixture(scope="module")
def counts():
    if MODE == "1":
        return count_all()
    return json.loads(child("1", "counts").stdout.splitlines()[-1])


# Per call of the criterion's forward pass: the assigner's class-index check,
# the positives (nonzero), the mask loss's one read of its selection, and the
# selections of the keypoint, polyline and tag losses (nonzero each).
CRITERION_SYNCS = 6
# With the refine head: its region bounds checked once by the mask loss and
# once by RefineHead.forward. Above MASK_CAP instances: one read of the kept subset.
REFINE_SYNCS, CAP_SYNCS = 2, 1
# Per image of the postprocess with candidates: the candidates (nonzero) and
# torchvision's nms; with a refine head the region edges read once, and the
# shipped RefineHead's index check once.
IMAGE_SYNCS, REGION_SYNCS, HEAD_SYNCS = 2, 1, 1


def test_decode_and_neck_never_synchronise(counts):
    assert [counts[f"decode/{b}"] for b in (1, 3)] == [0, 0]
    assert [counts[f"neck/{b}"] for b in (1, 3)] == [0, 0]


def test_assign_synchronises_once_per_call(counts):
    assert [counts[k] for k in ("assign/1/2", "assign/4/6", "assign.rescue/1/2",
                                "assign.rescue/4/6")] == [1, 1, 1, 1]


def test_criterion_synchronises_a_constant_number_of_times(counts):
    assert counts["positives/1/2"] < counts["positives/4/6"]   # more images, positives, instances
    for size in ("1/2", "4/6"):
        assert counts[f"criterion.plain/{size}"] == CRITERION_SYNCS
        assert counts[f"criterion.refine/{size}"] == CRITERION_SYNCS + REFINE_SYNCS
        assert counts[f"criterion.capped/{size}"] == CRITERION_SYNCS + CAP_SYNCS
        for name in ("plain", "refine", "capped"):
            assert counts[f"criterion.{name}.backward/{size}"] == 0


def test_postprocess_synchronises_a_constant_number_of_times_per_image(counts):
    small, large = counts["detections/1/3"], counts["detections/3/8"]
    assert min(small + large) > 0 and max(large) > 2 * max(small)
    for B, nc in ((1, 3), (3, 8)):
        assert counts[f"postprocess.coarse/{B}/{nc}"] == B * IMAGE_SYNCS
        assert counts[f"postprocess.pool/{B}/{nc}"] == B * (IMAGE_SYNCS + REGION_SYNCS)
        assert counts[f"postprocess.head/{B}/{nc}"] == B * (IMAGE_SYNCS + REGION_SYNCS + HEAD_SYNCS)


if __name__ == "__main__":
    if sys.argv[1] == "results":
        assert MODE == os.environ["HALCYRA_GENERIC"]
        torch.save(compute(), sys.argv[2])
    else:
        print(json.dumps(count_all()))
