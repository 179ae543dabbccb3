"""A corpus of odd and ordinary postprocess calls, to compare two builds.

    python3 tools/predict_corpus.py run OUT.pt       record every call's outcome
    python3 tools/predict_corpus.py compare A.pt B.pt

`run` makes each call in this process against the installed build and
records, per case, either the detection dictionaries (every tensor with its
dtype, shape and strides) or the exception's type and message, plus what any
rebound function or refine head was called with. `compare` lists the cases
whose outcomes differ, bit for bit (NaN equal to NaN)."""
import os
import sys
from fractions import Fraction

import torch
import torchvision

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

SHAPES = [(8, 8), (4, 4), (2, 2)]
A = 84
BIG = [(40, 40), (20, 20), (10, 10)]


def gen(seed):
    return torch.Generator().manual_seed(seed)


def make_preds(b=2, nc=3, p=4, s=64, hm=None, k=2, n=3, t=5, seed=0, f2=True, shapes=SHAPES,
               scale=1.0, shift=0.0, rounding=False):
    g = gen(seed)
    hm = hm or s // 2
    a = sum(h * w for h, w in shapes)

    def r(*shape):
        return torch.randn(*shape, generator=g)

    cls = r(b, a, nc) * scale - shift
    box = r(b, a, 4) + 1.0
    if rounding:
        cls, box = cls.round(), box.round()
    preds = {"feat_shapes": shapes, "cls_raw": cls, "box_raw": box,
             "coef": r(b, a, p), "protos": r(b, p, hm, hm), "kpt_raw": r(b, a, 3 * k),
             "pline_raw": r(b, a, 2 * n), "tag_logits": r(b, t)}
    if f2:
        preds["f2"] = r(b, 4, s // 2, s // 2)
    return preds


def drop(preds, *keys):
    return {k: v for k, v in preds.items() if k not in keys}


def KW(**kw):
    base = dict(num_kpts=2, n_pline=3, input_size=64)
    base.update(kw)
    return base


LOG = []


def note(*items):
    """Records a call of a rebound function or refine head."""
    LOG.append(tuple(_plain(x) for x in items))


def _plain(x):
    if isinstance(x, torch.Tensor):
        return ("tensor", x.dtype, tuple(x.shape), x.detach().clone())
    if isinstance(x, (list, tuple)):
        return type(x).__name__, tuple(_plain(v) for v in x)
    if isinstance(x, (int, float, str, bool, type(None))):
        return x
    return type(x).__name__


# ---- refine heads -------------------------------------------------------------------

class PoolHead:
    roi = 7

    def sanitize(self, boxes, size, stride):
        note("sanitize", boxes, size, stride)
        return boxes.clamp(0, size[1] * stride)

    def __call__(self, f2, coarse, boxes, bidx, stride):
        note("refine", f2, coarse, boxes, bidx, stride)
        return torch.nn.functional.adaptive_avg_pool2d(coarse[:, None], 7)[:, 0] * 1.5 + 0.2


class PresetHead(PoolHead):
    def __init__(self, rows):
        self.rows = torch.tensor(rows, dtype=torch.float32)

    def sanitize(self, boxes, size, stride):
        note("sanitize", boxes, size, stride)
        return self.rows[:len(boxes)] if len(self.rows) >= len(boxes) else self.rows

    def __call__(self, f2, coarse, boxes, bidx, stride):
        note("refine", f2, coarse, boxes, bidx, stride)
        return torch.full((len(boxes), 3, 3), 10.0)


def head_variant(kind):
    """A refine head that behaves in one odd way."""
    class H(PoolHead):
        pass

    if kind == "short_sanitize":
        H.sanitize = lambda self, b, s, st: b[:1].clamp(0, s[1] * st)
    elif kind == "sanitize_3cols":
        H.sanitize = lambda self, b, s, st: b[:, :3]
    elif kind == "sanitize_1d":
        H.sanitize = lambda self, b, s, st: b[:, 0]
    elif kind == "sanitize_3d":
        H.sanitize = lambda self, b, s, st: b[:, :, None].expand(-1, -1, 2)
    elif kind == "sanitize_list":
        H.sanitize = lambda self, b, s, st: b.tolist()
    elif kind == "sanitize_raises":
        def sanitize(self, b, s, st):
            raise RuntimeError("sanitize failed on purpose")
        H.sanitize = sanitize
    elif kind == "sanitize_nan":
        H.sanitize = lambda self, b, s, st: torch.full_like(b, float("nan"))
    elif kind == "sanitize_inf":
        H.sanitize = lambda self, b, s, st: torch.full_like(b, float("inf")) * torch.tensor(
            [-1.0, -1.0, 1.0, 1.0])
    elif kind == "sanitize_double":
        H.sanitize = lambda self, b, s, st: b.double().clamp(0, s[1] * st) + 0.25
    elif kind == "sanitize_int":
        H.sanitize = lambda self, b, s, st: b.clamp(0, s[1] * st).long()
    elif kind == "sanitize_more_rows":
        H.sanitize = lambda self, b, s, st: torch.cat([b, b]).clamp(0, s[1] * st)
    elif kind == "sanitize_reversed":
        H.sanitize = lambda self, b, s, st: b[:, [2, 3, 0, 1]]
    elif kind == "call_raises":
        def call(self, *a):
            raise ValueError("refine failed on purpose")
        H.__call__ = call
    elif kind == "call_short":
        H.__call__ = lambda self, *a: PoolHead.__call__(self, *a)[:1]
    elif kind == "call_list":
        H.__call__ = lambda self, *a: list(PoolHead.__call__(self, *a))
    elif kind == "call_tuple":
        H.__call__ = lambda self, *a: tuple(PoolHead.__call__(self, *a))
    elif kind == "call_4d":
        H.__call__ = lambda self, *a: PoolHead.__call__(self, *a)[:, None]
    elif kind == "call_1d_maps":
        H.__call__ = lambda self, *a: PoolHead.__call__(self, *a)[:, 0]
    elif kind == "call_double":
        H.__call__ = lambda self, *a: PoolHead.__call__(self, *a).double()
    elif kind == "call_half":
        H.__call__ = lambda self, *a: PoolHead.__call__(self, *a).half()
    elif kind == "call_int":
        H.__call__ = lambda self, *a: (PoolHead.__call__(self, *a) * 10).long()
    elif kind == "call_none":
        H.__call__ = lambda self, *a: None
    elif kind == "call_nan":
        H.__call__ = lambda self, *a: PoolHead.__call__(self, *a) * float("nan")
    elif kind == "call_grad":
        H.__call__ = lambda self, *a: PoolHead.__call__(self, *a).requires_grad_()
    elif kind == "no_sanitize":
        class H:  # noqa: F811 - a head without sanitize
            roi = 7

            def __call__(self, *a):
                return PoolHead.__call__(PoolHead(), *a)
    elif kind == "not_callable":
        class H:  # noqa: F811 - a head that cannot be called
            roi = 7
            sanitize = PoolHead.sanitize
    return H()


def refine_head(kind="plain"):
    from halcyra.models.refine import RefineHead
    torch.manual_seed(11)
    head = RefineHead(in_ch=4, roi=5, hidden=4).eval()
    with torch.no_grad():
        head.out.weight.normal_()
    if kind == "forward_override":
        head.forward = lambda *a: RefineHead.forward(head, *a) * 2
    elif kind == "hook":
        head.register_forward_hook(lambda m, i, o: o + 1.0)
    elif kind == "subclass":
        class Sub(RefineHead):
            def forward(self, *a):
                return super().forward(*a) - 0.5
        sub = Sub(in_ch=4, roi=5, hidden=4).eval()
        sub.load_state_dict(head.state_dict())
        head = sub
    elif kind == "roi_3":
        head.roi = 3
    return head


class Entry:
    """A prediction entry that is not a tensor: its own indexing and .float()."""

    def __init__(self, t):
        self.t = t

    def __getitem__(self, key):
        note("entry[]", type(key).__name__)
        return Entry(self.t[key])

    def float(self):
        return self.t.float()


class NoFloat:
    def __getitem__(self, key):
        return torch.zeros(3)


class FloatGivesList:
    def float(self):
        return [1.0, 2.0]


# ---- the cases ------------------------------------------------------------------------

CASES = []


def case(name, preds, *args, patch=None, **kw):
    CASES.append((name, preds, args, kw, patch or {}))


def one_image(logits, nc=2):
    cls = torch.full((1, A, nc), -20.0)
    for a, (c, v) in logits.items():
        cls[0, a, c] = v
    return {"feat_shapes": SHAPES, "cls_raw": cls, "box_raw": torch.zeros(1, A, 4)}


def fixed_decode(boxes):
    boxes = torch.tensor(boxes, dtype=torch.float32)

    def decode(raw, points, stride, offset=0.0):
        note("decode_boxes", raw, points, stride, offset)
        out = torch.zeros(raw.shape[0], raw.shape[1], 4)
        out[:, :len(boxes)] = boxes
        return out
    return decode


def recording_nms(boxes, scores, idxs, iou):
    note("batched_nms", boxes, scores, idxs, iou)
    return torchvision.ops.batched_nms(boxes, scores, idxs, iou)


def build():
    # defaults, signature and binding
    base = make_preds(seed=1)
    case("defaults", base)
    case("positional all", base, 0.3, 0.6, 50, 100, 0.45, 2, 3, 64, None, 0.25)
    case("too many positional", base, *range(11))
    case("unknown keyword", base, iou=0.5)
    case("no preds", None)
    case("preds not a dict (list)", [1, 2])
    case("preds missing cls_raw", drop(base, "cls_raw"))
    case("preds missing box_raw", drop(base, "box_raw"))
    case("preds missing feat_shapes", drop(base, "feat_shapes"))
    case("empty dict", {})

    # ordinary calls over seeds, heads and thresholds
    for seed in range(6):
        for mask in ("coarse", "pool", "refinehead"):
            p = make_preds(b=1 + seed % 3, seed=seed, f2=mask != "coarse")
            head = None if mask == "coarse" else PoolHead() if mask == "pool" else refine_head()
            case(f"valid seed={seed} {mask}", p, **KW(conf_thres=0.2 + 0.05 * seed,
                                                       mask_thres=0.4 + 0.03 * seed, refine=head))
    for conf in (0.0, 0.25, 0.5, 0.93, 1.0, -1.0, float("nan"), float("inf"), -float("inf"), 2,
                 0, True, 1e-45, 0.5000001):
        case(f"conf_thres={conf!r}", base, **KW(conf_thres=conf))
    for iou in (0.0, 0.3, 0.7, 1.0, 1.5, -0.5, float("nan"), 1e39, float("inf"), 0, 1, True):
        case(f"nms_iou={iou!r}", base, **KW(conf_thres=0.1, nms_iou=iou))
    for max_det in (0, 1, 5, 300, -2, -1000, 10 ** 9, 10 ** 30, True, 7.0, None, "3"):
        case(f"max_det={max_det!r}", base, **KW(conf_thres=0.1, max_det=max_det))
    for pre_nms in (0, 1, 5, 40, 3000, -1, -5, 10 ** 30, 7.0, True, None, "3"):
        case(f"pre_nms={pre_nms!r}", base, **KW(conf_thres=0.1, pre_nms=pre_nms))
    for mask_thres in (0.0, 0.5, 1.0, -1.0, float("nan"), 2, True, None, "x"):
        case(f"mask_thres={mask_thres!r} coarse", base, **KW(mask_thres=mask_thres))
        case(f"mask_thres={mask_thres!r} pool", base, **KW(mask_thres=mask_thres,
                                                          refine=PoolHead()))
    for k in (0, 1, 2, 3, 2.0, -2, None, "2", True):
        case(f"num_kpts={k!r}", base, **KW(num_kpts=k))
    for n in (0, 1, 3, 4, 3.0, -3, None, True):
        case(f"n_pline={n!r}", base, **KW(n_pline=n))
    for s in (64, 32, 65, 100, 64.0, 0, -64, 1, None, "64", True):
        case(f"input_size={s!r} coarse", base, **KW(input_size=s))
        case(f"input_size={s!r} pool", base, **KW(input_size=s, refine=PoolHead()))
    for off in (0.0, 0.5, -0.5, 3, True, False, float("nan"), float("inf"), None, "x", 1e39):
        case(f"box_offset={off!r}", base, **KW(box_offset=off))

    # number-like parameters
    try:
        import numpy as np
        for conf, count, thres in ((np.float32(0.5), np.int64(7), np.float64(0.5)),
                                   (np.float64(0.3), np.int32(7), np.float32(0.45))):
            case(f"numpy numbers {type(conf).__name__}", base,
                 **KW(conf_thres=conf, max_det=count, pre_nms=count * 0 + 40, mask_thres=thres,
                      nms_iou=np.float32(0.6), box_offset=np.float64(0.25)))
        case("numpy num_kpts", base, **KW(num_kpts=np.int64(2), n_pline=np.int64(3),
                                          input_size=np.int64(64)))
    except ImportError:
        pass
    case("tensor numbers", base, **KW(conf_thres=torch.tensor(0.5), max_det=torch.tensor(7),
                                      pre_nms=torch.tensor(40), mask_thres=torch.tensor(0.5),
                                      nms_iou=torch.tensor(0.6), box_offset=torch.tensor(0.25)))
    case("tensor counts", base, **KW(num_kpts=torch.tensor(2), n_pline=torch.tensor(3),
                                     input_size=torch.tensor(64)))
    case("tensor input_size pool", base, **KW(input_size=torch.tensor(64), refine=PoolHead()))
    case("fraction conf", base, **KW(conf_thres=Fraction(1, 2)))
    case("fraction mask", base, **KW(mask_thres=Fraction(1, 2)))
    case("fraction iou", base, **KW(nms_iou=Fraction(1, 2)))
    case("complex conf", base, **KW(conf_thres=0.5j))
    case("vector conf", base, **KW(conf_thres=torch.tensor([0.5, 0.6])))

    # empty images, empty batches, ties
    empty = make_preds(b=3, seed=7)
    empty["cls_raw"][1] = -20.0
    case("one empty image", empty, **KW(box_offset=0.5))
    case("one empty image pool", empty, **KW(refine=PoolHead()))
    allempty = make_preds(b=2, seed=8)
    allempty["cls_raw"][:] = -20.0
    case("all empty", allempty, **KW())
    case("all empty no protos", drop(allempty, "protos"), **KW())
    case("all empty pool no protos", drop(allempty, "protos"), **KW(refine=PoolHead()))
    case("protos missing with detections", drop(base, "protos"), **KW())
    case("batch of zero", make_preds(b=0, seed=2), **KW())
    case("zero anchors", {"feat_shapes": [(0, 0)], "cls_raw": torch.zeros(2, 0, 3),
                          "box_raw": torch.zeros(2, 0, 4)})
    case("zero classes", {"feat_shapes": SHAPES, "cls_raw": torch.zeros(2, A, 0),
                          "box_raw": torch.zeros(2, A, 4)})
    for seed in range(4):
        p = make_preds(b=2, nc=[1, 3, 7, 80][seed], seed=20 + seed, rounding=True, scale=2.0)
        case(f"ties rounded nc={[1, 3, 7, 80][seed]}", p, **KW(conf_thres=0.05, max_det=50))
    for pre_nms in (999, 1000, 1001, 3000):
        p = make_preds(b=2, nc=5, seed=30, shapes=BIG, rounding=True, scale=2.0, shift=2.0, p=2,
                       hm=16, s=32)
        case(f"dense ties pre_nms={pre_nms}", p, **KW(conf_thres=0.05, pre_nms=pre_nms,
                                                      max_det=5000, input_size=32))
    dense = make_preds(b=2, nc=10, seed=31, shapes=BIG, scale=2.0, shift=4.0, p=2, hm=16, s=32)
    case("dense max_det 300", dense, **KW(conf_thres=0.05, input_size=32))
    case("dense max_det 7", dense, **KW(conf_thres=0.05, max_det=7, input_size=32))
    case("dense pool", dense, **KW(conf_thres=0.05, max_det=20, input_size=32,
                                   refine=PoolHead()))
    case("dense rebound nms", dense, **KW(conf_thres=0.05, input_size=32),
         patch={"batched_nms": recording_nms})
    exact = one_image({a: (0, 1.0 + 0.1 * ((a * 7) % 5)) for a in range(5)})
    for pre_nms in (4, 5, 6):
        case(f"pre_nms boundary {pre_nms}", exact, pre_nms=pre_nms,
             patch={"batched_nms": recording_nms})
    iou = one_image({0: (0, 3.0), 1: (1, 2.0), 2: (0, 3.0), 3: (0, 2.0)})
    dec = fixed_decode([[0, 0, 10, 10], [0, 0, 10, 9], [20, 0, 30, 10], [20, 0, 30, 5]])
    for t in (0.5, 0.49, 0.9):
        case(f"exact iou {t}", iou, nms_iou=t, patch={"decode_boxes": dec})
    neg = one_image({0: (0, 3.0), 1: (1, 2.0), 2: (1, 1.0)})
    case("negative coordinates", neg, nms_iou=0.5,
         patch={"decode_boxes": fixed_decode([[-10, 0, 10, 10], [-20, -10, 0, 5], [0, 0, 5, 5]])})
    strict = one_image({0: (0, 0.0), 1: (1, 1e-3)})
    case("strict threshold", strict, conf_thres=0.5)
    special = make_preds(b=2, nc=4, seed=5)
    special["cls_raw"][0, 3, 1] = float("nan")
    special["cls_raw"][0, 5] = float("inf")
    special["cls_raw"][1, 7, 2] = -float("inf")
    special["box_raw"][1, 9, 0] = float("nan")
    special["box_raw"][1, 11, 2] = float("inf")
    special["coef"][0, 5] = float("nan")
    for conf in (0.3, -1.0, float("nan")):
        case(f"special values conf={conf}", special, **KW(conf_thres=conf))
    case("special values pool", special, **KW(conf_thres=0.3, refine=PoolHead()))
    case("special values refinehead", special, **KW(conf_thres=0.3, refine=refine_head()))

    # coarse box test and mask thresholds
    boxes = fixed_decode([[10.5, 20.0, 30.2, 40.0], [0, 0, 63, 63]])
    p = one_image({0: (0, 3.0), 1: (1, 2.0)})
    p["coef"] = torch.zeros(1, A, 1)
    p["protos"] = torch.zeros(1, 1, 64, 64)
    for t in (0.5, 0.4999):
        case(f"coarse box test {t}", p, input_size=64, mask_thres=t, patch={"decode_boxes": boxes})
    # refine regions
    regions = one_image({0: (0, 3.0), 1: (0, 2.0)})
    regions.update(coef=torch.randn(1, A, 2, generator=gen(3)),
                   protos=torch.randn(1, 2, 80, 80, generator=gen(4)),
                   f2=torch.randn(1, 4, 320, 320, generator=gen(5)))
    reg_boxes = fixed_decode([[0, 0, 10, 10], [600, 0, 640, 10]])
    case("refine regions 320", regions,
         refine=PresetHead([[100.4, 50.0, 100.9, 50.5], [639.2, 3.0, 639.9, 4.0]]),
         patch={"decode_boxes": reg_boxes})
    r213 = dict(regions, f2=torch.randn(1, 4, 213, 213, generator=gen(6)))
    case("refine regions 213", r213,
         refine=PresetHead([[100.4, 50.0, 100.9, 50.5], [10.0, 10.0, 30.0, 12.0]]),
         patch={"decode_boxes": reg_boxes})
    case("refine regions outside", regions,
         refine=PresetHead([[-50.0, -50.0, -40.0, -45.0], [700.0, 700.0, 900.0, 800.0]]),
         patch={"decode_boxes": reg_boxes})

    # refine head variants
    for kind in ("short_sanitize", "sanitize_3cols", "sanitize_1d", "sanitize_3d", "sanitize_list",
                 "sanitize_raises", "sanitize_nan", "sanitize_inf", "sanitize_double",
                 "sanitize_int", "sanitize_more_rows", "sanitize_reversed", "call_raises",
                 "call_short", "call_list", "call_tuple", "call_4d", "call_1d_maps",
                 "call_double", "call_half", "call_int", "call_none", "call_nan", "call_grad",
                 "no_sanitize", "not_callable"):
        case(f"head {kind}", base, **KW(conf_thres=0.3, refine=head_variant(kind)))
    for kind in ("plain", "forward_override", "hook", "subclass", "roi_3"):
        case(f"RefineHead {kind}", base, **KW(conf_thres=0.3, refine=refine_head(kind)))
    case("refine without f2", drop(base, "f2"), **KW(refine=PoolHead()))
    case("f2 without refine", base, **KW())
    for name, f2 in (("f2 W2=0", torch.randn(2, 4, 32, 0)), ("f2 H2=0", torch.randn(2, 4, 0, 32)),
                     ("f2 2-D", torch.randn(32, 32)), ("f2 1-D", torch.randn(32)),
                     ("f2 3-D", torch.randn(4, 32, 32)), ("f2 batch 1", torch.randn(1, 4, 32, 32)),
                     ("f2 double", torch.randn(2, 4, 32, 32).double()),
                     ("f2 not square", torch.randn(2, 4, 16, 32)), ("f2 list", [[1.0]]),
                     ("f2 W2=3", torch.randn(2, 4, 32, 3))):
        case(f"pool {name}", dict(base, f2=f2), **KW(conf_thres=0.3, refine=PoolHead()))
    case("refinehead f2 W2=0", dict(base, f2=torch.randn(2, 4, 32, 0)),
         **KW(conf_thres=0.3, refine=refine_head()))
    case("refinehead f2 H2=0", dict(base, f2=torch.randn(2, 4, 0, 32)),
         **KW(conf_thres=0.3, refine=refine_head()))
    case("refine is 0", base, **KW(refine=0))
    case("refine is False", base, **KW(refine=False))

    # rebound module names
    case("nms recording", base, **KW(conf_thres=0.2, nms_iou=0.6), patch={"batched_nms": recording_nms})
    case("nms returns nothing", base, **KW(), patch={
        "batched_nms": lambda *a: torch.zeros(0, dtype=torch.long)})
    case("nms returns list", base, **KW(), patch={"batched_nms": lambda b, s, i, t: [0, 1]})
    case("nms returns bool mask", base, **KW(), patch={
        "batched_nms": lambda b, s, i, t: s > 0.5})
    case("nms returns float", base, **KW(), patch={
        "batched_nms": lambda b, s, i, t: torch.arange(len(s)).float()})
    case("nms returns out of range", base, **KW(), patch={
        "batched_nms": lambda b, s, i, t: torch.tensor([len(s) + 5])})
    case("nms returns reversed", base, **KW(), patch={
        "batched_nms": lambda b, s, i, t: torchvision.ops.batched_nms(b, s, i, t).flip(0)})
    case("nms returns None", base, **KW(), patch={"batched_nms": lambda *a: None})

    def nms_raises(*a):
        raise RuntimeError("nms failed on purpose")
    case("nms raises", base, **KW(), patch={"batched_nms": nms_raises})
    case("nms deleted", base, **KW(), patch={"batched_nms": None})
    case("nms wrong arity", base, **KW(), patch={"batched_nms": lambda b, s, i: None})
    vanilla = torchvision.ops.boxes._batched_nms_vanilla
    trick = torchvision.ops.boxes._batched_nms_coordinate_trick
    case("nms vanilla patched", dense, **KW(conf_thres=0.05, input_size=32), patch={
        "tv:_batched_nms_vanilla": lambda *a: (note("vanilla"), vanilla(*a))[1]})
    case("nms trick patched", base, **KW(conf_thres=0.1), patch={
        "tv:_batched_nms_coordinate_trick": lambda *a: (note("trick"), trick(*a))[1]})

    def decode_rec(raw, points, stride, offset=0.0):
        note("decode_boxes", raw, points, stride, offset)
        from halcyra.infer import decode
        return decode.decode_boxes(raw, points, stride, offset=offset)
    case("decode recording", base, **KW(box_offset=0.5), patch={"decode_boxes": decode_rec})
    case("decode deleted", base, **KW(), patch={"decode_boxes": None})
    case("decode no offset keyword", base, **KW(), patch={
        "decode_boxes": lambda raw, points, stride: raw})
    case("decode returns list", base, **KW(), patch={
        "decode_boxes": lambda raw, points, stride, offset=0.0: [[0.0] * 4]})
    case("decode returns wrong shape", base, **KW(), patch={
        "decode_boxes": lambda raw, points, stride, offset=0.0: raw[..., :3]})
    case("decode returns double", base, **KW(), patch={
        "decode_boxes": lambda raw, points, stride, offset=0.0: (raw * stride[:, None]).double()})
    case("decode returns fewer anchors", base, **KW(), patch={
        "decode_boxes": lambda raw, points, stride, offset=0.0: raw[:, :10]})

    def points_rec(raw, points, stride, n):
        note("decode_points", raw, points, stride, n)
        from halcyra.infer import decode
        return decode.decode_points(raw, points, stride, n)
    case("decode_points recording", base, **KW(), patch={"decode_points": points_rec})
    case("decode_points deleted", base, **KW(), patch={"decode_points": None})
    case("decode_points deleted no plines", drop(base, "pline_raw"), **KW(),
         patch={"decode_points": None})
    case("decode_points returns 3-D", base, **KW(), patch={
        "decode_points": lambda raw, points, stride, n: raw})
    case("decode_points returns list", base, **KW(), patch={
        "decode_points": lambda raw, points, stride, n: [[1.0]]})

    def anchors_rec(feat_shapes, strides, device):
        note("make_anchors", list(feat_shapes), strides, str(device))
        from halcyra.infer import decode
        return decode.make_anchors(feat_shapes, strides, device)
    case("make_anchors recording", base, **KW(), patch={"make_anchors": anchors_rec})
    case("make_anchors deleted", base, **KW(), patch={"make_anchors": None})
    case("make_anchors three items", base, **KW(), patch={
        "make_anchors": lambda f, s, d: (torch.zeros(A, 2), torch.ones(A), None)})
    case("make_anchors one item", base, **KW(), patch={
        "make_anchors": lambda f, s, d: (torch.zeros(A, 2),)})
    case("make_anchors double", base, **KW(), patch={
        "make_anchors": lambda f, s, d: (torch.rand(A, 2, generator=gen(9)).double() * 64,
                                         torch.full((A,), 8.0).double())})
    case("make_anchors lists", base, **KW(), patch={
        "make_anchors": lambda f, s, d: ([[0.0, 0.0]] * A, [8.0] * A)})
    case("STRIDES rebound", base, **KW(), patch={"STRIDES": (16, 32, 64)})
    case("STRIDES short", base, **KW(), patch={"STRIDES": (8,)})
    case("STRIDES deleted", base, **KW(), patch={"STRIDES": None})

    # wrong types and shapes in preds
    for key, bad in (("cls_raw", [[0.0]]), ("cls_raw", None), ("cls_raw", 3.0),
                     ("cls_raw", torch.zeros(2, A, 3, dtype=torch.long)),
                     ("cls_raw", torch.zeros(2, A, 3, dtype=torch.bool)),
                     ("cls_raw", torch.randn(A, 3)), ("cls_raw", torch.randn(1, 2, A, 3)),
                     ("cls_raw", torch.randn(2, A + 1, 3)), ("cls_raw", torch.randn(2, A - 1, 3)),
                     ("cls_raw", torch.randn(3, A, 3)), ("cls_raw", NoFloat()),
                     ("cls_raw", FloatGivesList()),
                     ("box_raw", torch.randn(2, A, 3)), ("box_raw", torch.randn(2, A - 4, 4)),
                     ("box_raw", torch.randn(1, A, 4)), ("box_raw", torch.randn(A, 4)),
                     ("box_raw", [[0.0]]), ("box_raw", torch.randn(2, A, 4).double()),
                     ("box_raw", torch.randn(2, A, 4).half()), ("box_raw", FloatGivesList()),
                     ("feat_shapes", [(8, 8), (4, 4)]), ("feat_shapes", [(8, 8, 1)]),
                     ("feat_shapes", 5), ("feat_shapes", [(8, 8), (4, 4), (2, 2), (1, 1)]),
                     ("feat_shapes", [("8", 8)]), ("feat_shapes", [(8.0, 8), (4, 4.0), (2, 2)]),
                     ("feat_shapes", [(torch.tensor(8), 8), (4, 4), (2, 2)]),
                     ("feat_shapes", iter([(8, 8), (4, 4), (2, 2)])),
                     ("coef", torch.randn(2, A, 5)), ("coef", torch.randn(2, A)),
                     ("coef", torch.randn(1, A, 4)), ("coef", [[0.0]]),
                     ("coef", torch.randn(2, A, 4).double()), ("coef", torch.randn(2, 10, 4)),
                     ("protos", torch.randn(2, 4, 32)), ("protos", torch.randn(2, 4, 32, 32, 1)),
                     ("protos", torch.randn(2, 4, 16, 48)), ("protos", torch.randn(1, 4, 32, 32)),
                     ("protos", [[0.0]]), ("protos", torch.randn(2, 4, 32, 32).half()),
                     ("protos", torch.randn(2, 4, 0, 0)),
                     ("kpt_raw", torch.randn(2, A, 5)), ("kpt_raw", torch.randn(2, A)),
                     ("kpt_raw", torch.randn(1, A, 6)), ("kpt_raw", torch.randn(2, 10, 6)),
                     ("kpt_raw", [[0.0]]), ("kpt_raw", torch.randn(2, A, 6).double()),
                     ("pline_raw", torch.randn(2, A, 5)), ("pline_raw", torch.randn(2, A, 8)),
                     ("pline_raw", torch.randn(1, A, 6)), ("pline_raw", torch.randn(2, 10, 6)),
                     ("pline_raw", [[0.0]]), ("pline_raw", torch.randn(2, A, 6).double()),
                     ("tag_logits", torch.randn(2)), ("tag_logits", torch.randn(2, 3, 2)),
                     ("tag_logits", torch.randn(1, 5)), ("tag_logits", [[0.0]]),
                     ("tag_logits", torch.randn(2, 0)), ("tag_logits", None)):
        desc = (f"{tuple(bad.shape)} {bad.dtype}" if isinstance(bad, torch.Tensor)
                else repr(bad) if isinstance(bad, (list, int, float, type(None)))
                else type(bad).__name__)
        case(f"bad {key} {desc}", dict(base, **{key: bad}), **KW(conf_thres=0.3))
        if key in ("coef", "protos"):
            case(f"bad {key} {desc} pool", dict(base, **{key: bad}),
                 **KW(conf_thres=0.3, refine=PoolHead()))

    # dtypes and layouts
    half = {k: (v.half() if isinstance(v, torch.Tensor) else v) for k, v in base.items()}
    case("half inputs", half, **KW())
    case("half inputs pool", half, **KW(refine=PoolHead()))
    dbl = {k: (v.double() if isinstance(v, torch.Tensor) else v) for k, v in base.items()}
    case("double inputs", dbl, **KW())
    case("double inputs refinehead", dbl, **KW(refine=refine_head()))
    bf = {k: (v.bfloat16() if isinstance(v, torch.Tensor) else v) for k, v in base.items()}
    case("bfloat16 inputs", bf, **KW())
    nc_layout = {k: (v.transpose(0, -1).contiguous().transpose(0, -1)
                     if isinstance(v, torch.Tensor) else v) for k, v in base.items()}
    case("transposed layouts", nc_layout, **KW())
    case("transposed layouts pool", nc_layout, **KW(refine=PoolHead()))
    grad = {k: (v.clone().requires_grad_() if isinstance(v, torch.Tensor) else v)
            for k, v in base.items()}
    case("grad inputs", grad, **KW(refine=PoolHead()))
    case("grad inputs refinehead", grad, **KW(refine=refine_head()))
    ent = {k: (Entry(v) if isinstance(v, torch.Tensor) and k != "f2" else v)
           for k, v in base.items()}
    case("entries not tensors", ent, **KW())
    case("entries not tensors pool", ent, **KW(refine=PoolHead()))
    case("entries not tensors list head", ent, **KW(refine=head_variant("call_list")))
    case("extra keys", dict(base, junk=object()), **KW())
    return CASES


MISSING = object()


def apply_patch(P, patch):
    """Sets (or deletes, for None) names of the predict module or of
    torchvision.ops.boxes ("tv:name"); returns the undo list."""
    undo = []
    for name, value in patch.items():
        mod = P
        if name.startswith("tv:"):
            mod, name = torchvision.ops.boxes, name[3:]
        old = getattr(mod, name, MISSING)
        undo.append((mod, name, old))
        if value is None:
            delattr(mod, name)
        else:
            setattr(mod, name, value)
    return undo


def undo_patch(undo):
    for mod, name, old in reversed(undo):
        if old is MISSING:
            if hasattr(mod, name):
                delattr(mod, name)
        else:
            setattr(mod, name, old)


def record_tensor(t):
    return ("tensor", str(t.dtype), tuple(t.shape), tuple(t.stride()), t.requires_grad,
            t.detach().clone().contiguous())


def record(x):
    if isinstance(x, torch.Tensor):
        return record_tensor(x)
    if isinstance(x, dict):
        return ("dict", [(k, record(v)) for k, v in x.items()])
    if isinstance(x, (list, tuple)):
        return (type(x).__name__, [record(v) for v in x])
    return ("value", repr(x))


def run(path):
    from halcyra.infer import predict as P
    out = {}
    for name, preds, args, kw, patch in build():
        assert name not in out, name
        LOG.clear()
        undo = apply_patch(P, patch)
        grad = torch.is_grad_enabled()
        try:
            args = () if preds is None and not args and not kw else args
            res = P.postprocess(preds, *args, **kw) if preds is not None else P.postprocess()
            outcome = ("result", record(res))
        except Exception as exc:  # noqa: BLE001 - the exception is the outcome
            outcome = ("error", type(exc).__name__, str(exc))
        finally:
            undo_patch(undo)
        assert torch.is_grad_enabled() == grad
        out[name] = (outcome, [record(list(e)) for e in LOG])
    torch.save(out, path)
    print(f"{len(out)} calls recorded in {path}")


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, torch.Tensor):
        if a.dtype != b.dtype or a.shape != b.shape:
            return False
        if a.is_floating_point() or a.is_complex():
            return torch.equal(a.isnan(), b.isnan()) and torch.equal(a.nan_to_num(0.0),
                                                                     b.nan_to_num(0.0))
        return torch.equal(a, b)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def brief(outcome):
    if outcome[0] == "error":
        return f"{outcome[1]}: {outcome[2]}"
    return "results"


def compare(old_path, new_path):
    old, new = torch.load(old_path), torch.load(new_path)
    assert list(old) == list(new), "the two runs made different cases"
    differ = 0
    for name in old:
        (o, olog), (n, nlog) = old[name], new[name]
        if same(o, n) and same(olog, nlog):
            continue
        differ += 1
        print(f"DIFFERENT: {name}")
        if not same(o, n):
            print(f"    old: {brief(o)}\n    new: {brief(n)}")
        if not same(olog, nlog):
            print(f"    calls of rebound names/heads differ ({len(olog)} old, {len(nlog)} new)")
    print(f"{len(old)} calls, {len(old) - differ} identical, {differ} different")
    return differ


if __name__ == "__main__":
    if sys.argv[1] == "run":
        run(sys.argv[2])
    elif sys.argv[1] == "compare":
        sys.exit(1 if compare(sys.argv[2], sys.argv[3]) else 0)
    else:
        sys.exit(__doc__)
