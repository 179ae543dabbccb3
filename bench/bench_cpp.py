"""halcyra from C++: postprocess called through the C++ API against the same
call from Python (8 images at 640 input, 80 classes; boxes only, and with
coarse masks), and, where torch compiles ahead of time, the demo detector
(model and postprocess) exported and run from C++ against eager Python.

In these rows the "eager" column is Python's call (halcyra's Python face, or
eager model and postprocess) and "ours" the C++ side's, each the median the
program measures itself; the two sides run alternately, twice, in two
processes (a C++ program cannot run in Python's). The programs are built
through the installed CMake package (make install-cpp) into build/cpp/bench.
Detections are checked equal before timing."""
import importlib.util
import os
import subprocess
import sys
import tempfile

import torch

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [p for p in (ROOT, os.path.join(ROOT, "examples"),
                            os.path.join(ROOT, "examples", "deploy")) if p not in sys.path]

from bench.bench_predict import make_dense, make_preds  # noqa: E402
from bench.common import main, row, timeit  # noqa: E402
from halcyra.infer import predict as P  # noqa: E402

BUILD = os.path.join(ROOT, "build", "cpp")


def _programs():
    """(halcyra_replay, halcyra_deploy), built once per process."""
    if not hasattr(_programs, "paths"):
        make = os.environ.get("MAKE", "make")
        subprocess.run([make, "-s", "-C", ROOT, "install-cpp"], check=True,
                       stdout=subprocess.DEVNULL)
        prefix = os.path.join(BUILD, "prefix")
        paths = []
        for src, name in (("tests/cpp/replay", "halcyra_replay"),
                          ("examples/deploy", "halcyra_deploy")):
            out = os.path.join(BUILD, "bench", name)
            subprocess.run(["cmake", "-S", os.path.join(ROOT, src), "-B", out,
                            f"-DCMAKE_PREFIX_PATH={prefix}", "-DCMAKE_BUILD_TYPE=Release"],
                           check=True, stdout=subprocess.DEVNULL)
            subprocess.run(["cmake", "--build", out, "-j", os.environ.get("MAX_JOBS", "2")],
                           check=True, stdout=subprocess.DEVNULL)
            paths.append(os.path.join(out, name))
        _programs.paths = paths
    return _programs.paths


def _timed(cmd, repeat, env=None):
    """The medians (ms) a program prints, a line per case, with HALCYRA_REPEAT."""
    env = dict(env or os.environ, HALCYRA_REPEAT=str(repeat))
    r = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True)
    return [float(x) for x in r.stdout.split()]


def _alternating(python, cpp, repeat):
    """(Python ms, C++ ms): each side's median, measured alternately twice,
    averaged."""
    p1, c1 = timeit(python, repeat), cpp()
    p2, c2 = timeit(python, repeat), cpp()
    return (p1 + p2) / 2, (c1 + c2) / 2


def _postprocess_row(name, preds, kw, replay, tmp, repeat):
    import compare
    # the replay program's case: every argument given (postprocess's defaults
    # where kw has none)
    args = dict(conf_thres=0.25, nms_iou=0.7, max_det=300, pre_nms=3000, mask_thres=0.5,
                num_kpts=0, n_pline=16, input_size=640, box_offset=0.0)
    args.update(kw, refine=False)
    case = {"preds": dict(preds, feat_shapes=torch.tensor(preds["feat_shapes"])), "args": args,
            "threads": torch.get_num_threads()}
    cases, out = os.path.join(tmp, "case.pt"), os.path.join(tmp, "out.pt")
    # (the case twice: libtorch's unpickler reads no one-element list; the
    # first one's median is the row's)
    torch.save([case, case], cases)
    want = P.postprocess(preds, **kw)
    subprocess.run([replay, cases, out], check=True)
    got = compare.load(out)
    assert all(torch.equal(g[k], w[k]) for g, w in zip(got[0], want) for k in w)
    n = sum(len(d["boxes"]) for d in want)
    return row(f"{name}, {n} det: from C++ (eager: from Python)",
               *_alternating(lambda: P.postprocess(preds, **kw),
                             lambda: _timed([replay, cases, out], repeat)[0], repeat))


def _exported_row(deploy, tmp, repeat):
    import demo
    import demo_data as data
    import export
    from demo_model import DemoDetector
    from torch._inductor import aoti_compile_and_package
    torch.manual_seed(0)
    model = DemoDetector(**demo.model_kwargs(data.LabelSpace())).eval()
    with torch.no_grad():
        for p in model.parameters():
            p.add_(torch.randn_like(p) * 0.15)
    settings = demo.postprocess_args(model, 128)
    settings.pop("refine")
    detector = export.Detector(model, settings).eval()
    images = torch.rand(6, 3, 128, 128, generator=torch.Generator().manual_seed(1))
    with torch.no_grad():
        package = aoti_compile_and_package(torch.export.export(detector, (images,), strict=True),
                                           package_path=os.path.join(tmp, "detector.pt2"))
        n = sum(len(d[0]) for d in detector(images))
    inputs, out = os.path.join(tmp, "inputs.pt"), os.path.join(tmp, "outputs.pt")
    torch.save([[images]], inputs)
    vision = importlib.util.find_spec("torchvision._C").origin
    # (the program's intra-op threads: OMP_NUM_THREADS, which libtorch reads)
    env = dict(os.environ, OMP_NUM_THREADS=str(torch.get_num_threads()))

    def cpp():
        return _timed([deploy, "--run", package, inputs, out, vision], repeat, env)[0]

    def python():
        with torch.no_grad():
            detector(images)
    return row(f"demo detector 6x128 model+postprocess, {n} det: exported, from C++ "
               "(eager: Python)", *_alternating(python, cpp, repeat))


def run(quick=False):
    repeat = 5 if quick else 20
    replay, deploy = _programs()
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        dense = make_dense(b=8, nc=80)
        boxes = {k: dense[k] for k in ("feat_shapes", "cls_raw", "box_raw")}
        rows.append(_postprocess_row("postprocess 8x640 80 cls, boxes", boxes,
                                     dict(conf_thres=0.05, box_offset=0.5), replay, tmp, repeat))
        masks = make_preds(b=8, nc=80)
        masks = {k: masks[k] for k in ("feat_shapes", "cls_raw", "box_raw", "coef", "protos")}
        rows.append(_postprocess_row("postprocess 8x640 80 cls, coarse masks", masks,
                                     dict(conf_thres=0.25), replay, tmp, repeat))
        import export
        if export.can_compile_ahead():
            rows.append(_exported_row(deploy, tmp, repeat))
    return rows


if __name__ == "__main__":
    main(run, "halcyra from C++")
