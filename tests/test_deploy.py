"""The deployment example (examples/deploy) end to end, and an exported
postprocess run from C++: the program built through the installed CMake
package, against Python's detections."""
import os
import sys

import pytest
import torch

from tests.conftest import ROOT, run_checked

sys.path[:0] = [os.path.join(ROOT, "examples", "deploy"), os.path.join(ROOT, "examples")]

import compare  # noqa: E402
import demo  # noqa: E402
import demo_data as data  # noqa: E402
import export  # noqa: E402
from demo_model import DemoDetector  # noqa: E402

FORMATS = ["torchscript"] + (["aoti"] if export.can_compile_ahead() else [])


@pytest.fixture(scope="session")
def program(cpp_package, tmp_path_factory):
    """examples/deploy's program, built once through find_package(halcyra)."""
    build = tmp_path_factory.mktemp("deploy")
    run_checked(["cmake", "-S", os.path.join(ROOT, "examples", "deploy"), "-B", str(build),
                 f"-DCMAKE_PREFIX_PATH={cpp_package}"])
    run_checked(["cmake", "--build", str(build), "-j", os.environ.get("MAX_JOBS", "2")])
    return build / "halcyra_deploy"


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
    assert sorted(p.name for p in tmp_path.glob("val_*.png")) == [f"val_{i:03d}.png" for i in range(7)]
    assert (tmp_path / "detections.json").read_text().count('"image"') == 7
