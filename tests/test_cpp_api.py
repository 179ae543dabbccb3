"""The C++ API against the Python face: a program built through the installed
CMake package (tests/cpp/replay) replays postprocess calls that Python saved,
with a TorchScript refine head loaded by libtorch, and its detections must be
Python's, bit for bit."""
import importlib.util
from typing import Tuple

import pytest
import torch
import torch.nn.functional as F

from halcyra.infer.predict import postprocess
from tests.conftest import cpp_program, run_checked

CASES = 240


@pytest.fixture(scope="session")
def replay(cpp_package):
    """The folder of the programs of tests/cpp/replay, built through
    `find_package(halcyra)` from the installed package."""
    return cpp_program("tests/cpp/replay", cpp_package)


def _needed(path):
    return [ln.split("[")[1].rstrip("]") for ln in run_checked(["readelf", "-d", str(path)]).stdout.splitlines()
            if "(NEEDED)" in ln]


def test_programs_link_the_library_and_no_python(replay):
    for exe in ("halcyra_replay", "halcyra_loaded"):
        needed = _needed(replay / exe)
        assert "libhalcyra.so" in needed, (exe, needed)
        assert not [n for n in needed if "python" in n], (exe, needed)


def test_library_loaded_without_a_reference_to_it(replay):
    # linked with --as-needed, referencing nothing the library defines
    r = run_checked([str(replay / "halcyra_loaded")])
    assert r.stdout.strip() == "loaded"


class ScriptHead(torch.nn.Module):
    """A scriptable refine head: the coarse logits pooled per image, moved by a
    convolution of f2, the regions, the image index and the stride, so that a
    wrong argument changes the masks. Its sanitize is the shipped head's
    operator."""

    def __init__(self, channels: int):
        super().__init__()
        g = torch.Generator().manual_seed(1)
        self.conv = torch.nn.Conv2d(channels, 1, 1)
        with torch.no_grad():
            self.conv.weight.copy_(torch.randn(self.conv.weight.shape, generator=g))
        self.min_side = 6.0

    @torch.jit.export
    def sanitize(self, boxes: torch.Tensor, size: Tuple[int, int], stride: float) -> torch.Tensor:
        return torch.ops.halcyra.sanitize_boxes(boxes, size[0] * stride, size[1] * stride,
                                                self.min_side)

    def forward(self, f2: torch.Tensor, coarse: torch.Tensor, boxes: torch.Tensor,
                bidx: torch.Tensor, stride: float) -> torch.Tensor:
        c = F.adaptive_avg_pool2d(coarse.unsqueeze(1), (7, 7)).squeeze(1)
        feat = self.conv(f2).mean()
        shift = (boxes[:, 0] - boxes[:, 3]).to(c.dtype) * 0.05 + bidx.to(c.dtype)
        return c * (stride / 4.0) + feat + shift.view(-1, 1, 1)


def _case(g, channels):
    """One postprocess call: raw outputs and arguments drawn from g, with
    empty images, tied scores, cuts by max_det and pre_nms, every attribute."""
    def pick(*xs):
        return xs[int(torch.randint(len(xs), (1,), generator=g))]

    B = pick(1, 2, 3)
    shapes = pick([[4, 4], [2, 2], [1, 1]], [[3, 5], [2, 3]], [[2, 2]], [[6, 4], [3, 2], [2, 1]])
    A = sum(h * w for h, w in shapes)
    nc = pick(1, 2, 4)
    cls_raw = torch.randn(B, A, nc, generator=g) * pick(1.0, 3.0) + pick(-2.0, 0.0, -6.0)
    if pick(True, False):
        cls_raw = (cls_raw * 2).round() / 2          # many tied scores
    if B > 1 and pick(True, False):
        cls_raw[0] = -20.0                           # an image without candidates
    box_raw = torch.randn(B, A, 4, generator=g) + pick(0.0, 1.5, 3.0)
    preds = {"feat_shapes": shapes, "cls_raw": cls_raw.to(pick(torch.float32, torch.float16,
                                                                 torch.float64)),
             "box_raw": box_raw}
    S = pick(32, 48)
    args = {"conf_thres": pick(0.25, 0.1, 0.5, 0.0), "nms_iou": pick(0.7, 0.5, 0.3),
            "max_det": pick(300, 3, 1, 0, -2), "pre_nms": pick(3000, 5, 1, 0),
            "mask_thres": pick(0.5, 0.3), "num_kpts": 0, "n_pline": 16, "input_size": S,
            "box_offset": pick(0.0, 0.0, 0.5), "refine": False}
    if pick(True, False):
        P = pick(1, 3)
        preds["coef"] = torch.randn(B, A, P, generator=g)
        preds["protos"] = torch.randn(B, P, pick(8, 12), pick(8, 12), generator=g)
        if pick(True, False):
            h2 = pick(8, 16)
            preds["f2"] = torch.randn(B, channels, h2, h2, generator=g)
            args["refine"] = pick(True, True, False)
    if pick(True, False):
        args["num_kpts"] = pick(1, 3)
        preds["kpt_raw"] = torch.randn(B, A, 3 * args["num_kpts"], generator=g)
    if pick(True, False):
        args["n_pline"] = pick(1, 4)
        preds["pline_raw"] = torch.randn(B, A, 2 * args["n_pline"], generator=g)
    if pick(True, False):
        preds["tag_logits"] = torch.randn(B, pick(1, 5), generator=g).to(pick(torch.float32,
                                                                               torch.float64))
    return {"preds": preds, "args": args, "threads": torch.get_num_threads()}


@pytest.mark.filterwarnings("ignore:`torch.jit.script` is not supported:FutureWarning")
def test_cpp_postprocess_equals_python_bit_for_bit(replay, tmp_path):
    channels = 4
    head = torch.jit.script(ScriptHead(channels))
    head.save(str(tmp_path / "head.pt"))
    g = torch.Generator().manual_seed(0)
    cases = [_case(g, channels) for _ in range(CASES)]
    # (libtorch's unpickler reads no one-element list: the levels go as a tensor)
    torch.save([{**c, "preds": {**c["preds"], "feat_shapes": torch.tensor(c["preds"]["feat_shapes"])}}
                for c in cases], str(tmp_path / "cases.pt"))
    want = []
    for c in cases:
        kw = dict(c["args"])
        kw["refine"] = head if kw["refine"] else None
        snapshot = {k: v.clone() for k, v in c["preds"].items() if isinstance(v, torch.Tensor)}
        want.append(postprocess(c["preds"], **kw))
        assert all(torch.equal(v, c["preds"][k]) for k, v in snapshot.items())
    # (torchvision's operators: the device-generic path's NMS is its nms)
    vision = importlib.util.find_spec("torchvision._C").origin
    run_checked([str(replay / "halcyra_replay"), str(tmp_path / "cases.pt"), str(tmp_path / "out.pt"),
                 str(tmp_path / "head.pt"), "--ops", vision])
    # (libtorch's pickler tags the typed lists and dicts with a function that
    # torch's weights-only loader refuses: the file is this test's own)
    got = torch.load(str(tmp_path / "out.pt"), weights_only=False)
    assert len(got) == len(want)
    seen = {"empty": 0, "cut": 0, "refined": 0, "ties": 0}
    for i, (g_images, w_images, c) in enumerate(zip(got, want, cases)):
        assert len(g_images) == len(w_images), i
        for b, (gi, wi) in enumerate(zip(g_images, w_images)):
            assert sorted(gi) == sorted(wi), (i, b)
            for k in wi:
                assert gi[k].dtype == wi[k].dtype and gi[k].shape == wi[k].shape, (i, b, k)
                assert torch.equal(gi[k], wi[k]), (i, b, k)
            n = len(wi["scores"])
            seen["empty"] += n == 0
            seen["cut"] += n == c["args"]["max_det"] > 0
            seen["refined"] += c["args"]["refine"] and n > 0
            seen["ties"] += n > len(torch.unique(wi["scores"]))
    # the draw covers what it is meant to
    assert all(v >= 5 for v in seen.values()), seen
