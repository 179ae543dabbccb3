"""The deployment example (examples/deploy) end to end, and an exported
postprocess run from C++: the program built through the installed CMake
package, against Python's detections."""
import os
import sys

import pytest
import torch

from tests.conftest import ROOT, cpp_program, run_checked

sys.path[:0] = [os.path.join(ROOT, "examples", "deploy"), os.path.join(ROOT, "examples")]

import compare  # noqa: E402
import demo  # noqa: E402
import demo_data as data  # noqa: E402
import export  # noqa: E402
from demo_model import DemoDetector  # noqa: E402
from halcyra.infer import predict as P  # noqa: E402

FORMATS = ["torchscript"] + (["aoti"] if export.can_compile_ahead() else [])


@pytest.fixture(scope="session")
def program(cpp_package):
    """examples/deploy's program, built through find_package(halcyra)."""
    return cpp_program("examples/deploy", cpp_package) / "halcyra_deploy"


@pytest.fixture(scope="module")
def checkpoint(tmp_path_factory):
    """An untrained demo model, its weights shaken so that it detects objects
    of every kind, saved as the demo saves it, with a small validation split."""
    torch.manual_seed(3)
    model = DemoDetector(**demo.model_kwargs(data.LabelSpace()))
    with torch.no_grad():
        for p in model.parameters():
            p.add_(torch.randn_like(p) * 0.15)
    path = tmp_path_factory.mktemp("model") / "model.pt"
    torch.save({"state_dict": model.state_dict(), "kwargs": demo.model_kwargs(data.LabelSpace()),
                "size": 64, "seed": 1, "val_size": 7}, path)
    return path


@pytest.mark.parametrize("fmt", FORMATS)
def test_deployed_detector_against_python(program, checkpoint, tmp_path, fmt, sound_convolutions):
    """Exported, run by the C++ program on the PNG images it reads, the
    detector gives Python's detections: bit for bit through the traced model
    and halcyra's C++ postprocess; through the compiled program, what
    inductor's fused arithmetic changes in the model part, and no more.
    A low threshold gives the untrained model detections of every kind."""
    out = tmp_path / "export"
    export.main(["--model", str(checkpoint), "--out", str(out), "--batch", "3",
                 "--format", fmt, "--conf-thres", "0.002"])
    run_checked([str(program), str(out), str(tmp_path)])
    want, got = compare.load(out / "python.pt"), compare.load(tmp_path / "detections.pt")
    assert sum(len(d["boxes"]) for d in want) > 20 and all(d["masks"].any() for d in want[:3])
    same, differ, worst = compare.compare(want, got)
    if fmt == "torchscript":
        assert (same, differ) == (7, 0), worst
    else:
        assert same + differ == 7
        assert worst["detections counted differently"] <= 1 and worst["classes differ"] <= 1, worst
        assert worst.get("boxes (px)", 0.0) < 0.05 and worst.get("scores", 0.0) < 1e-3, worst
        # the refine head's maps, compiled, land on the same side of mask_thres
        # but for pixels within rounding of it
        assert worst.get("mask pixels differing (share)", 0.0) < 0.01, worst
    assert sorted(p.name for p in tmp_path.glob("val_*.png")) == [f"val_{i:03d}.png" for i in range(7)]
    assert (tmp_path / "detections.json").read_text().count('"image"') == 7


class Postprocess(torch.nn.Module):
    """postprocess alone, raw outputs in: coarse masks, keypoints, polylines
    and tags, a max_det that cuts."""

    def forward(self, cls_raw, box_raw, coef, protos, kpt_raw, pline_raw, tag_logits):
        preds = {"feat_shapes": [(8, 8), (4, 4), (2, 2)], "cls_raw": cls_raw, "box_raw": box_raw,
                 "coef": coef, "protos": protos, "kpt_raw": kpt_raw, "pline_raw": pline_raw,
                 "tag_logits": tag_logits}
        dets = P.postprocess(preds, conf_thres=0.4, nms_iou=0.5, max_det=12, pre_nms=40,
                             num_kpts=2, n_pline=3, input_size=64, box_offset=0.5)
        return [[d[k] for k in export.KEYS if k in d] for d in dets]


def raw_batch(seed):
    """Varied raw outputs of 3 images: some images without a candidate, some
    with rounded (tied) logits and boxes, few or many candidates."""
    g = torch.Generator().manual_seed(seed)
    a, b = 84, 3
    scale = [0.5, 1.0, 3.0][seed % 3]
    shift = torch.tensor([((seed + i) % 7) * 0.8 for i in range(b)]).view(b, 1, 1)
    cls = torch.randn(b, a, 3, generator=g) * scale - shift
    box = torch.randn(b, a, 4, generator=g) + 1.0
    if seed % 4 == 1:
        cls, box = cls.round(), box.round()     # ties of scores and of boxes
    if seed % 5 == 2:
        cls[seed % b] = -20.0                   # an image without a candidate
    return (cls, box, torch.randn(b, a, 4, generator=g), torch.randn(b, 4, 32, 32, generator=g),
            torch.randn(b, a, 6, generator=g), torch.randn(b, a, 6, generator=g),
            torch.randn(b, 5, generator=g))


@pytest.mark.skipif(not export.can_compile_ahead(), reason="this torch has no AOTInductor")
def test_exported_postprocess_runs_in_cpp_bit_for_bit(program, tmp_path):
    """postprocess exported (torch.export, strict) and compiled ahead of time,
    run from C++ on 200 batches: eager mode's detections, bit for bit."""
    from torch._inductor import aoti_compile_and_package
    module = Postprocess()
    batches = [raw_batch(s) for s in range(200)]
    with torch.no_grad():
        want = [module(*x) for x in batches]
        package = aoti_compile_and_package(
            torch.export.export(module, batches[0], strict=True),
            package_path=str(tmp_path / "postprocess.pt2"))
    torch.save([list(x) for x in batches], tmp_path / "inputs.pt")
    run_checked([str(program), "--run", package, str(tmp_path / "inputs.pt"),
                 str(tmp_path / "outputs.pt")])
    got = compare.load(tmp_path / "outputs.pt")
    counts = [len(img[0]) for w in want for img in w]
    assert counts.count(0) >= 40 and counts.count(12) >= 40 and len(set(counts)) > 5
    assert len(got) == len(want)
    for g, w in zip(got, want):
        flat = [t for img in w for t in img]
        assert len(g) == len(flat) and all(torch.equal(a, b) for a, b in zip(g, flat))
