#!/usr/bin/env python3
"""Exports the demo's trained detector for a C++ program, with what the program
reads and what its results are compared with.

    python3 examples/deploy/export.py [--model out/demo/model.pt] [--out out/deploy]

Writes into --out:
  images/val_NNN.png   the demo's validation images (8-bit RGB)
  detector.pt2         where torch has torch.export and AOTInductor: the model
                       and postprocess as one compiled program (fixed batch)
  model.ts, refine.ts  otherwise: the model traced (raw outputs) and its refine
                       head traced, for halcyra's C++ postprocess
  python.pt            Python's detections of every image (eager mode)
  deploy.txt           what the program needs, a "key value" line each: the
                       format, batch, input size, intra-op threads (those of
                       Python's run: a convolution's rounding can depend on
                       them), whether oneDNN ran (off where torch's
                       convolutions were found wrong), postprocess settings, the
                       feature levels, class names, images, the libraries
                       to load
"""
import argparse
import importlib.util
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.dirname(HERE)
REPO = os.path.dirname(EXAMPLES)
sys.path[:0] = [p for p in (REPO, EXAMPLES) if p not in sys.path]

import torch  # noqa: E402
import torchvision  # noqa: E402,F401  (its operators, for tracing the refine head)

import demo  # noqa: E402
import demo_data as data  # noqa: E402
from demo_model import DemoDetector  # noqa: E402
from halcyra import _torchcheck  # noqa: E402
from halcyra.infer.predict import postprocess  # noqa: E402

KEYS = ("boxes", "scores", "cls", "masks", "kpts", "plines", "tags")
RAW_KEYS = ("cls_raw", "box_raw", "coef", "protos", "f2", "kpt_raw", "pline_raw", "tag_logits")


class Detector(torch.nn.Module):
    """The model and postprocess (with the model's refine head) as one module:
    images (B, 3, S, S) in [0, 1] to the detections of each image, in KEYS
    order."""

    def __init__(self, model, settings):
        super().__init__()
        self.model, self.settings = model, settings

    def forward(self, images):
        dets = postprocess(self.model(images), refine=self.model.refine, **self.settings)
        return [tuple(d[k] for k in KEYS) for d in dets]


class RawOutputs(torch.nn.Module):
    """The model's raw outputs as a tuple, in RAW_KEYS order (for tracing)."""

    def __init__(self, model):
        super().__init__()
        self.model = model

    def forward(self, images):
        preds = self.model(images)
        return tuple(preds[k] for k in RAW_KEYS)


class AtStride(torch.nn.Module):
    """The refine head at one stride (tracing takes tensors only)."""

    def __init__(self, head, stride):
        super().__init__()
        self.head, self.stride = head, float(stride)

    def forward(self, f2, coarse, regions, bidx):
        return self.head(f2, coarse, regions, bidx, self.stride)


def can_compile_ahead():
    """Whether this torch exports (torch.export) and compiles ahead of time
    (AOTInductor packages)."""
    if not hasattr(torch, "export"):
        return False
    try:
        from torch._inductor import aoti_compile_and_package  # noqa: F401
    except ImportError:
        return False
    return True


def load_model(path):
    ckpt = torch.load(path, map_location="cpu")
    model = DemoDetector(**ckpt["kwargs"])
    model.load_state_dict(ckpt["state_dict"])
    return model.eval(), ckpt


def write_images(val, folder):
    from PIL import Image
    os.makedirs(folder, exist_ok=True)
    names = []
    for i in range(len(val)):
        name = f"val_{i:03d}.png"
        Image.fromarray(val[i].image.permute(1, 2, 0).contiguous().numpy()).save(
            os.path.join(folder, name))
        names.append(name)
    return names


def batches(images, batch):
    """(first index, (batch, 3, S, S) float images) with the last batch filled
    up with black images (their detections are dropped)."""
    for i in range(0, len(images), batch):
        chunk = images[i:i + batch]
        if len(chunk) < batch:
            chunk = chunk + [torch.zeros_like(chunk[0])] * (batch - len(chunk))
        yield i, torch.stack(chunk).float().div(255.0)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--model", default=os.path.join("out", "demo", "model.pt"))
    p.add_argument("--out", default=os.path.join("out", "deploy"))
    p.add_argument("--batch", type=int, default=6, help="the exported program's batch size")
    p.add_argument("--format", choices=("auto", "aoti", "torchscript"), default="auto")
    p.add_argument("--conf-thres", type=float, default=None,
                   help="postprocess's confidence threshold (default: the demo's evaluation's)")
    args = p.parse_args(argv)
    torch.set_num_threads(max(1, os.cpu_count() or 1))
    model, ckpt = load_model(args.model)
    size = ckpt["size"]
    fmt = args.format
    if fmt == "auto":
        fmt = "aoti" if can_compile_ahead() else "torchscript"
    settings = demo.postprocess_args(model, size)
    settings.pop("refine")
    if args.conf_thres is not None:
        settings["conf_thres"] = args.conf_thres
    os.makedirs(args.out, exist_ok=True)
    val = data.SynthDataset(ckpt["val_size"], seed=ckpt["seed"], split="val", size=size)
    names = write_images(val, os.path.join(args.out, "images"))
    images = [val[i].image for i in range(len(val))]

    # Where torch's own convolutions were found wrong on this machine, both
    # Python's reference and the export run with oneDNN off.
    with _torchcheck.sound_convolutions(), torch.no_grad():
        detector = Detector(model, settings).eval()
        want = []
        for i, x in batches(images, args.batch):
            want += [dict(zip(KEYS, d)) for d in detector(x)][:len(images) - i]
        torch.save(want, os.path.join(args.out, "python.pt"))
        onednn = torch.backends.mkldnn.enabled
        example = next(batches(images, args.batch))[1]
        if fmt == "aoti":
            from torch._inductor import aoti_compile_and_package
            program = torch.export.export(detector, (example,), strict=True)
            artifact = aoti_compile_and_package(
                program, package_path=os.path.join(os.path.abspath(args.out), "detector.pt2"))
            artifacts = {"program": os.path.basename(artifact)}
        else:
            traced = torch.jit.trace(RawOutputs(model), (example,), check_trace=False)
            traced.save(os.path.join(args.out, "model.ts"))
            head = AtStride(model.refine, size / model(example)["f2"].shape[-1])
            regions = torch.tensor([[0.0, 0.0, 16.0, 16.0], [8.0, 4.0, 40.0, 30.0]])
            coarse = torch.randn(2, size // 2, size // 2)
            f2 = model(example[:1])["f2"]
            torch.jit.trace(head, (f2, coarse, regions, torch.zeros(2, dtype=torch.long)),
                            check_trace=False).save(os.path.join(args.out, "refine.ts"))
            artifacts = {"model": "model.ts", "refine": "refine.ts",
                         "refine_stride": head.stride, "refine_min_side": model.refine.min_side}
    lines = [("format", fmt), ("torch", torch.__version__), ("batch", args.batch), ("size", size),
             ("threads", torch.get_num_threads()), ("onednn", int(onednn)),
             ("torchvision_ops", importlib.util.find_spec("torchvision._C").origin)]
    lines += list(artifacts.items()) + list(settings.items())
    lines += [("level", f"{size // s} {size // s} {s}") for s in (8, 16, 32)]
    lines += [("class", name) for name in data.CLASS_NAMES] + [("image", n) for n in names]
    # the classes whose keypoints and polylines are drawn (as the demo draws them)
    lines += [("keypoint_class", data.CLASS_NAMES.index("kite")),
              ("polyline_class", data.CLASS_NAMES.index("lane"))]
    with open(os.path.join(args.out, "deploy.txt"), "w") as f:
        f.writelines(f"{k} {v}\n" for k, v in lines)
    print(f"exported {fmt} for batches of {args.batch} ({size}px), {len(names)} images: "
          f"{os.path.join(args.out, 'deploy.txt')}")


if __name__ == "__main__":
    main()
