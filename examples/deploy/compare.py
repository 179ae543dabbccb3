#!/usr/bin/env python3
"""Compares the C++ program's detections with Python's.

    python3 examples/deploy/compare.py EXPORT_DIR RUN_DIR [--exact]

Reads EXPORT_DIR/python.pt (Python's detections, eager mode) and
RUN_DIR/detections.pt (the program's) and prints, over the images, how many
have identical detections (every tensor equal, bit for bit), and for the
others the largest differences of the detections they share: boxes, scores,
keypoints, polyline points in pixels or probability, tags, and the mask
pixels that differ (their number, and their share of the pixels Python's
masks cover). With --exact, exits with 1 unless every image
is identical."""
import argparse
import os
import sys

import torch

KEYS = ("boxes", "scores", "cls", "masks", "kpts", "plines", "tags")


def load(path):
    """A file of tensors saved by torch.save, or by libtorch (whose type tags a
    torch that loads weights only by default refuses)."""
    return torch.load(path, weights_only=False)


def compare(want, got):
    """(identical images, differing images, {measure: the largest difference,
    or a count})."""
    if len(want) != len(got):
        raise SystemExit(f"compare: {len(want)} images from Python, {len(got)} from the program")
    same, differ = 0, 0
    worst = {"detections counted differently": 0, "classes differ": 0}
    for w, g in zip(want, got):
        if all(torch.equal(w[k], g[k]) for k in KEYS):
            same += 1
            continue
        differ += 1
        worst["tags"] = max(worst.get("tags", 0.0),
                            (w["tags"].double() - g["tags"].double()).abs().max().item())
        n = min(len(w["boxes"]), len(g["boxes"]))
        if len(w["boxes"]) != len(g["boxes"]):
            worst["detections counted differently"] += 1
        if n == 0:
            continue
        if not torch.equal(w["cls"][:n], g["cls"][:n]):
            worst["classes differ"] += 1
        for k, name in (("boxes", "boxes (px)"), ("scores", "scores"), ("kpts", "keypoints"),
                        ("plines", "polyline points (px)")):
            d = (w[k][:n].double() - g[k][:n].double()).abs().max().item()
            worst[name] = max(worst.get(name, 0.0), d)
        differing = (w["masks"][:n] != g["masks"][:n]).sum().item()
        worst["mask pixels differing"] = worst.get("mask pixels differing", 0) + differing
    # of the pixels any of Python's masks covers
    if "mask pixels differing" in worst:
        covered = sum(w["masks"].sum().item() for w in want)
        worst["mask pixels differing (share)"] = worst["mask pixels differing"] / max(covered, 1)
    return same, differ, worst


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("export_dir")
    p.add_argument("run_dir")
    p.add_argument("--exact", action="store_true")
    args = p.parse_args(argv)
    want = load(os.path.join(args.export_dir, "python.pt"))
    got = load(os.path.join(args.run_dir, "detections.pt"))
    same, differ, worst = compare(want, got)
    dets = sum(len(w["boxes"]) for w in want)
    print(f"C++ against Python: {same} of {same + differ} images identical bit for bit "
          f"({dets} detections from Python)")
    if differ:
        print("where they differ, the largest differences of the detections both give:")
        for k, v in worst.items():
            unit = " image(s)" if k in ("detections counted differently", "classes differ") else ""
            print(f"  {k}: {v:.3g}" if isinstance(v, float) else f"  {k}: {v}{unit}")
    return 1 if args.exact and differ else 0


if __name__ == "__main__":
    sys.exit(main())
