#!/usr/bin/env python3
"""halcyra end to end: train a small multi-task detector on synthetic scenes,
then run inference and evaluate it.

    python3 examples/demo.py                      # default run (a few minutes on 2 CPU cores)
    python3 examples/demo.py --steps 2000         # longer run
    python3 examples/demo.py --device cuda        # on a GPU
    python3 examples/demo.py --ddp --nproc 2      # data-parallel (gloo), processes started by the demo
    USE_LIBUV=0 TORCH_DISABLE_SHARE_RDZV_TCP_STORE=1 torchrun --nnodes 1 --nproc_per_node 2 \
        --rdzv_backend c10d --rdzv_endpoint /tmp/halcyra-rdzv --rdzv_conf store_type=file \
        --redirects 1 --tee 1 examples/demo.py --ddp      # the same through torchrun

Debian's torch 1.13 under Python 3.11 has a torchrun whose default stream
settings fail ("'NoneType' object has no attribute 'get'"): `--redirects 1
--tee 1` avoid that. Debian's torch 2.6 is built without libuv, yet every TCP
store that torchrun itself makes asks for libuv: the file-backed rendezvous
and TORCH_DISABLE_SHARE_RDZV_TCP_STORE=1 avoid them, and USE_LIBUV=0 gives the
processes' own store the plain backend (the demo sets that one itself; torch
1.13 ignores all three). Give each job its own rendezvous file.

What it shows:
  * a synthetic dataset from three sources that annotate different tasks
    (boxes + instance polygons / keypoints / polylines + image tags), merged
    into one batch dictionary with the per-source availability flags;
  * a trunk producing [y2, y4, y8, y16, y32], halcyra's HRNeckLite, heads that
    fill the raw prediction dictionary through flatten_preds, and a RefineHead;
  * training with halcyra's MultiTaskCriterion (all eight loss terms);
  * inference with halcyra's postprocess (refined masks, keypoints, polylines,
    tags) and an evaluation computed here: box AP@0.5 per class, mask IoU,
    keypoint OKS, polyline point error and tag accuracy, for the untrained and
    the trained model;
  * a PNG of validation images with ground truth and detections, and the
    trained weights (model.pt) that examples/deploy exports.
"""
import argparse
import contextlib
import json
import math
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
if os.path.isdir(os.path.join(REPO, "halcyra")) and REPO not in sys.path:
    sys.path.insert(0, REPO)  # the in-place build of this checkout
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import torch
import torch.distributed as dist
import torch.nn as nn

from halcyra import _torchcheck
from halcyra.infer.predict import postprocess
from halcyra.losses.losses import MultiTaskCriterion

import demo_data as data
from demo_draw import draw_panel, save_grid
from demo_eval import evaluate, format_table
from demo_model import DemoDetector

LOSS_KEYS = ("cls", "box", "mask", "refine", "kpt", "vis", "poly", "tag")
BOX_OFFSET = 0.5


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--steps", type=int, default=None, help="training steps (default 900)")
    p.add_argument("--epochs", type=float, default=None,
                   help="training length in passes over the training split (overrides --steps)")
    p.add_argument("--batch", type=int, default=16, help="global batch size (split across DDP processes)")
    p.add_argument("--lr", type=float, default=4e-3)
    p.add_argument("--train-size", type=int, default=6000, help="images in the training split")
    p.add_argument("--val-size", type=int, default=90, help="images in the validation split")
    p.add_argument("--size", type=int, default=128, help="input side in pixels (a multiple of 32)")
    p.add_argument("--device", default="auto", help="auto (cuda when available), cpu, cuda, cuda:1, ...")
    p.add_argument("--out", default=os.path.join("out", "demo"), help="output folder (PNG, metrics.json)")
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--threads", type=int, default=0, help="CPU threads per process (0: cores / processes)")
    p.add_argument("--ddp", action="store_true", help="distributed data-parallel; launch with torchrun")
    p.add_argument("--backend", default="gloo", help="process-group backend for --ddp")
    p.add_argument("--nproc", type=int, default=2,
                   help="processes to start for --ddp when not launched by torchrun")
    p.add_argument("--no-eval", action="store_true", help="train only (skip evaluation and the PNG)")
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    args = p.parse_args(argv)
    if args.size % 32:
        p.error("--size must be a multiple of 32")
    return args


# ------------------------------------------------------------------ setup
def model_config(size):
    return {
        "nc": len(data.CLASS_NAMES),
        "box_offset": BOX_OFFSET,
        "input_size": size,
        "tasks": {"keypoint": {"enabled": True, "num_kpts": data.NUM_KPTS},
                  "polyline": {"enabled": True, "n_points": data.N_PLINE}},
    }


def model_kwargs(labelspace):
    """DemoDetector's arguments for the demo's data."""
    return dict(nc=labelspace.num_categories, num_kpts=data.NUM_KPTS, n_pline=data.N_PLINE,
                num_tags=len(data.TAG_NAMES))


def build(args, device):
    """Model, criterion (holding the model's refine head) and label space."""
    torch.manual_seed(args.seed)
    labelspace = data.LabelSpace()
    model = DemoDetector(**model_kwargs(labelspace)).to(device)
    criterion = MultiTaskCriterion(model_config(args.size), labelspace,
                                   loss_cfg={"refine_jitter": 0.1},
                                   refine=model.refine).to(device)
    return model, criterion, labelspace


class TrainStep(nn.Module):
    """One training step as a module: model forward, then the criterion.

    Data-parallel training wraps this, not the bare model, because the refine
    head's parameters are used inside the criterion. The criterion is called
    but not registered as a child: its only parameters are the refine head's,
    which the model owns, and its class tables are bool buffers that the gloo
    backend cannot broadcast (and that never differ between processes).
    """

    def __init__(self, model, criterion):
        super().__init__()
        self.model = model
        object.__setattr__(self, "criterion", criterion)

    def forward(self, images, batch):
        return self.criterion(self.model(images), batch)


def lr_at(step, total, base):
    warm = max(1, int(0.05 * total))
    if step < warm:
        return base * (step + 1) / warm
    t = (step - warm) / max(1, total - warm)
    return base * (0.05 + 0.95 * 0.5 * (1 + math.cos(math.pi * t)))


# ------------------------------------------------------------------ progress
class Progress:
    """A textual progress bar on stderr: redrawn in place on a terminal,
    printed every few percent otherwise."""

    def __init__(self, total, enabled=True, stream=sys.stderr, width=24):
        self.total, self.enabled, self.stream, self.width = total, enabled, stream, width
        self.tty = stream.isatty()
        self.t0 = time.time()
        self.last_pct = -1

    def update(self, done, losses):
        if not self.enabled:
            return
        pct = int(100 * done / self.total)
        if not self.tty and pct < self.last_pct + 10 and done != self.total:
            return
        self.last_pct = pct
        el = time.time() - self.t0
        eta = el / max(done, 1) * (self.total - done)
        fill = int(self.width * done / self.total)
        bar = "#" * fill + "." * (self.width - fill)
        parts = " ".join(f"{k} {v:.3f}" for k, v in losses.items())
        line = f"[{bar}] {done}/{self.total} {done / max(el, 1e-9):.1f} it/s eta {int(eta)}s | {parts}"
        self.stream.write(("\r" + line + "\033[K") if self.tty else line + "\n")
        if self.tty and done == self.total:
            self.stream.write("\n")
        self.stream.flush()


# ------------------------------------------------------------------ evaluation
def postprocess_args(model, size, conf_thres=0.05, max_det=50):
    """The postprocess settings of the demo's evaluation (and of its deployment)."""
    return dict(conf_thres=conf_thres, nms_iou=0.6, max_det=max_det, pre_nms=1000, mask_thres=0.5,
                num_kpts=data.NUM_KPTS, n_pline=data.N_PLINE, input_size=size,
                refine=model.refine, box_offset=BOX_OFFSET)


@torch.no_grad()
def predict(model, images, size, conf_thres=0.05, max_det=50):
    model.eval()
    preds = model(images)
    return postprocess(preds, **postprocess_args(model, size, conf_thres, max_det))


def run_eval(model, val, device, size, batch=30):
    dets, targets = [], []
    for i in range(0, len(val), batch):
        samples = [val[j] for j in range(i, min(len(val), i + batch))]
        images, _ = data.collate(samples, device)
        dets += predict(model, images, size)
        targets += [data.eval_targets(s) for s in samples]
    return evaluate(dets, targets, data.CLASS_NAMES, data.KITE_SIGMAS, pline_classes=(3,)), dets


def draw_examples(model, val, device, size, path, per_source=2, score_thres=0.4):
    picks = [i for src in range(3) for i in range(src, len(val), 3)[:per_source]]
    samples = [val[i] for i in picks]
    images, _ = data.collate(samples, device)
    dets = predict(model, images, size)
    kw = dict(class_names=data.CLASS_NAMES, pline_classes=(3,), kpt_classes=(2,))
    gt_row, pred_row = [], []
    for s, d in zip(samples, dets):
        t = data.eval_targets(s)
        tags = [n for n, v in zip(data.TAG_NAMES, s.tags.tolist()) if v > 0.5] if s.flags[4] else None
        gt_row.append(draw_panel(s.image, t["boxes"], t["cls"], masks=t["masks"], kpts=t["kpts"],
                                 plines=t["plines"], title=f"GT {data.SOURCE_NAMES[s.source]}"
                                 + (f" tags: {','.join(tags) or '-'}" if tags is not None else ""), **kw))
        keep = d["scores"] > score_thres
        ptags = [n for n, v in zip(data.TAG_NAMES, d["tags"].tolist()) if v > 0.5]
        pred_row.append(draw_panel(s.image, d["boxes"][keep].cpu(), d["cls"][keep].cpu(),
                                   masks=d["masks"][keep].cpu(), kpts=d["kpts"][keep].cpu(),
                                   plines=d["plines"][keep].cpu(), scores=d["scores"][keep].cpu(),
                                   title="pred tags: " + (",".join(ptags) or "-"), **kw))
    return save_grid(gt_row + pred_row, len(samples), path,
                     header="top: ground truth   bottom: detections (score > %.1f)" % score_thres)


# ------------------------------------------------------------------ training
def train(args, model, criterion, device, rank, world, steps):
    step_module = TrainStep(model, criterion)
    if world > 1:
        step_module = nn.parallel.DistributedDataParallel(step_module, find_unused_parameters=True)
    opt = torch.optim.AdamW(model.parameters(), lr=args.lr, weight_decay=5e-4)
    train_set = data.SynthDataset(args.train_size, seed=args.seed, split="train", size=args.size)
    per_rank = args.batch // world
    history = []
    bar = Progress(steps, enabled=(rank == 0 and not args.quiet))
    model.train()
    for step in range(steps):
        start = step * args.batch + rank * per_rank
        samples = [train_set[(start + j) % len(train_set)] for j in range(per_rank)]
        images, batch = data.collate(samples, device)
        for g in opt.param_groups:
            g["lr"] = lr_at(step, steps, args.lr)
        total, stats = step_module(images, batch)
        opt.zero_grad(set_to_none=True)
        total.backward()
        torch.nn.utils.clip_grad_norm_(model.parameters(), 10.0)
        opt.step()
        vec = torch.tensor([float(total.detach())] + [float(stats[k]) if k in stats else float("nan")
                                                       for k in LOSS_KEYS])
        if world > 1:  # log the average over processes
            dist.all_reduce(vec)
            vec /= world
        rec = dict(zip(("total",) + LOSS_KEYS, vec.tolist()))
        if not all(math.isfinite(v) for k, v in rec.items() if k in stats or k == "total"):
            raise FloatingPointError(f"non-finite loss at step {step}: {rec}")
        history.append(rec)
        bar.update(step + 1, {k: v for k, v in rec.items() if k in stats or k == "total"})
    return history


def loss_summary(history):
    """Mean of each loss over the first and the last tenth of training."""
    n = max(1, len(history) // 10)
    out = {}
    for k in ("total",) + LOSS_KEYS:
        first = [h[k] for h in history[:n] if math.isfinite(h[k])]
        last = [h[k] for h in history[-n:] if math.isfinite(h[k])]
        if first and last:
            out[k] = (sum(first) / len(first), sum(last) / len(last))
    return out


def params_checksum(model):
    return float(sum(p.detach().double().sum() for p in model.parameters()))


def launch_local(args, argv):
    """Start args.nproc copies of this script as one data-parallel job on this
    host (what torchrun does for a single node); returns the worst exit code."""
    import socket
    import subprocess
    with socket.socket() as s:  # a free port for the rendezvous
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    procs = []
    for r in range(args.nproc):
        env = dict(os.environ, RANK=str(r), LOCAL_RANK=str(r), WORLD_SIZE=str(args.nproc),
                   LOCAL_WORLD_SIZE=str(args.nproc), MASTER_ADDR="127.0.0.1", MASTER_PORT=str(port))
        procs.append(subprocess.Popen([sys.executable, os.path.abspath(__file__)] + list(argv), env=env))
    while any(p.poll() is None for p in procs):
        if any(p.poll() not in (None, 0) for p in procs):  # one failed: stop the others
            for p in procs:
                if p.poll() is None:
                    p.terminate()
        time.sleep(0.2)
    failed = [p.returncode for p in procs if p.returncode != 0]
    return (failed[0] if failed[0] > 0 else 1) if failed else 0


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    args = parse_args(argv)
    if args.ddp:
        # The rendezvous store without libuv works on every torch build; builds
        # without libuv (Debian's 2.x) fail with the libuv default.
        os.environ.setdefault("USE_LIBUV", "0")
    if args.ddp and "RANK" not in os.environ:
        raise SystemExit(launch_local(args, argv))
    t_start = time.time()
    rank, world = 0, 1
    if args.ddp:
        dist.init_process_group(args.backend)
        rank, world = dist.get_rank(), dist.get_world_size()
        if args.batch % world:
            raise SystemExit(f"--batch {args.batch} is not divisible by {world} processes")
    if args.device == "auto":
        dev = "cuda" if torch.cuda.is_available() else "cpu"
    else:
        dev = args.device
    device = torch.device(dev)
    if device.type == "cuda" and args.ddp:
        device = torch.device("cuda", int(os.environ.get("LOCAL_RANK", rank)) % torch.cuda.device_count())
        torch.cuda.set_device(device)
    threads = args.threads or max(1, (os.cpu_count() or 1) // world)
    torch.set_num_threads(threads)

    if args.epochs is not None:
        steps = max(1, int(round(args.epochs * args.train_size / args.batch)))
    else:
        steps = args.steps if args.steps is not None else 900
    log = (lambda *a: print(*a, flush=True)) if rank == 0 else (lambda *a: None)

    model, criterion, labelspace = build(args, device)
    n_params = sum(p.numel() for p in model.parameters())
    val = data.SynthDataset(args.val_size, seed=args.seed, split="val", size=args.size)
    log(f"halcyra demo: {n_params / 1e3:.0f}k parameters, input {args.size}px, device {device}, "
        f"{world} process(es) x {threads} thread(s), {steps} steps of {args.batch} images")
    log(f"sources: " + ", ".join(f"{n} ({'+'.join(k for k, f in zip(('rect', 'polygon', 'keypoint', 'polyline', 'tags'), data.SOURCE_FLAGS[i]) if f)})"
                                 for i, n in enumerate(data.SOURCE_NAMES)))

    before = None
    if rank == 0 and not args.no_eval:
        before, _ = run_eval(model, val, device, args.size)
        log(f"untrained model: box mAP@0.5 {before['map50']:.3f}")

    # Some torch builds compute wrong convolution gradients through oneDNN on
    # some CPUs: checked once; where so, training runs with oneDNN off.
    check = _torchcheck.check() if device.type == "cpu" else None
    sound = check is None or check.sound
    if not sound:
        log(check.message)
        log("the demo trains with oneDNN off (torch.backends.mkldnn.enabled = False)")
    t_train = time.time()
    with contextlib.nullcontext() if sound else _torchcheck.workaround():
        onednn = torch.backends.mkldnn.enabled
        history = train(args, model, criterion, device, rank, world, steps)
    t_train = time.time() - t_train

    summary = loss_summary(history)
    log(f"\ntraining: {steps} steps in {t_train:.1f}s ({steps / t_train:.2f} steps/s)")
    log("loss term (unweighted)             first 10%   last 10%")
    for k, (a, b) in summary.items():
        trend = ("falls" if b < a else "does not fall") if steps >= 20 else ""
        log(f"  {k:<10s}{'':22s}{a:9.4f}  {b:9.4f}   {trend}")

    result = {"steps": steps, "batch": args.batch, "world_size": world, "train_seconds": t_train,
              "losses_first_last": summary, "onednn_in_training": onednn,
              "torch_convolutions_sound": None if check is None else check.sound}
    if world > 1:  # every process must hold the same weights after data-parallel training
        sums = [torch.zeros(1, dtype=torch.float64) for _ in range(world)]
        dist.all_gather(sums, torch.tensor([params_checksum(model)], dtype=torch.float64))
        result["params_in_sync"] = all(float(s) == float(sums[0]) for s in sums)
        log(f"data-parallel: parameters identical on all {world} processes: {result['params_in_sync']}")

    if rank == 0:
        os.makedirs(args.out, exist_ok=True)
        if not args.no_eval:
            after, _ = run_eval(model, val, device, args.size)
            log("\nvalidation (%d images, %s)" % (len(val), "classes scored on the sources that annotate them"))
            log(format_table([("untrained", before), ("trained", after)], data.CLASS_NAMES))
            png = draw_examples(model, val, device, args.size, os.path.join(args.out, "demo_val.png"))
            result.update(untrained=before, trained=after, png=png)
            log(f"\nbox mAP@0.5: untrained {before['map50']:.3f} -> trained {after['map50']:.3f}")
        model_path = os.path.join(args.out, "model.pt")
        torch.save({"state_dict": {k: v.cpu() for k, v in model.state_dict().items()},
                    "kwargs": model_kwargs(labelspace), "size": args.size, "seed": args.seed, "val_size": args.val_size}, model_path)
        result["model"] = model_path
        result["wall_seconds"] = time.time() - t_start
        with open(os.path.join(args.out, "metrics.json"), "w") as f:
            json.dump(result, f, indent=1, default=float)
        log(f"\nmetrics: {os.path.join(args.out, 'metrics.json')}")
        log(f"model:   {model_path}")
        if "png" in result:
            log(f"image:   {result['png']}")
        log(f"wall time {result['wall_seconds']:.1f}s")
    if args.ddp:
        dist.barrier()
        dist.destroy_process_group()
    return result


if __name__ == "__main__":
    main()
