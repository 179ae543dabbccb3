"""The end-to-end example (examples/demo.py and its helpers): dataset and batch
dictionary, model outputs, a few training steps, the evaluation functions on
hand-made cases, and two-process data-parallel training."""
import json
import math
import os
import subprocess
import sys

import pytest
import torch

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "examples"))

import demo_data as data  # noqa: E402
import demo_eval as ev  # noqa: E402

BATCH_KEYS = {"gt_boxes", "gt_cls", "gt_valid", "gt_ignore", "has_rect", "has_polygon", "has_keypoint",
              "has_polyline", "has_tags", "gt_tags", "gt_masks", "mask_valid", "gt_kpts", "kpt_valid",
              "gt_plines", "pline_valid"}


# ------------------------------------------------------------------ dataset
def test_dataset_is_seeded_and_sources_rotate():
    a = data.SynthDataset(12, seed=3)
    b = data.SynthDataset(12, seed=3)
    v = data.SynthDataset(12, seed=3, split="val")
    for i in range(6):
        assert a[i].source == i % 3
        assert torch.equal(a[i].image, b[i].image) and torch.equal(a[i].boxes, b[i].boxes)
    assert not torch.equal(a[0].image, v[0].image)
    with pytest.raises(IndexError):
        a[12]


def test_collate_batch_dictionary():
    ds = data.SynthDataset(6, seed=1)
    samples = [ds[i] for i in range(6)]
    images, batch = data.collate(samples)
    B, S = 6, 128
    G = max(len(s.cls) for s in samples)
    assert images.shape == (B, 3, S, S) and images.dtype == torch.float32
    assert 0.0 <= float(images.min()) and float(images.max()) <= 1.0
    assert set(batch) == BATCH_KEYS
    assert batch["gt_boxes"].shape == (B, G, 4)
    assert batch["gt_masks"].shape == (B, G, S // 2, S // 2)
    assert batch["gt_kpts"].shape == (B, G, data.NUM_KPTS, 3)
    assert batch["gt_plines"].shape == (B, G, data.N_PLINE, 2)
    assert batch["gt_tags"].shape == (B, len(data.TAG_NAMES))
    for k in ("has_rect", "has_polygon", "has_keypoint", "has_polyline", "has_tags"):
        assert batch[k].dtype == torch.bool and batch[k].shape == (B,)
    for b, s in enumerate(samples):
        flags = tuple(bool(batch[k][b]) for k in ("has_rect", "has_polygon", "has_keypoint", "has_polyline", "has_tags"))
        assert flags == data.SOURCE_FLAGS[s.source]
        n = len(s.cls)
        assert batch["gt_valid"][b].tolist() == [True] * n + [False] * (G - n)
        # each validity mask is set exactly for the slots of its annotation kind
        assert batch["mask_valid"][b, :n].tolist() == [s.source == 0] * n
        assert batch["kpt_valid"][b, :n].tolist() == [s.source == 1] * n
        assert batch["pline_valid"][b, :n].tolist() == [s.source == 2] * n
        assert set(s.cls.tolist()) <= set(data.SOURCE_CLASSES[s.source])
        for j in range(n):
            x1, y1, x2, y2 = s.boxes[j].tolist()
            assert 0 <= x1 < x2 <= S and 0 <= y1 < y2 <= S
            if s.source == 0:  # the prototype-grid mask lies inside its box (halved)
                m = batch["gt_masks"][b, j].bool()
                ys, xs = torch.nonzero(m, as_tuple=True)
                assert m.sum() > 10
                assert xs.min() >= math.floor(x1 / 2) - 1 and xs.max() <= math.ceil(x2 / 2)
                assert ys.min() >= math.floor(y1 / 2) - 1 and ys.max() <= math.ceil(y2 / 2)
            if s.source == 1:  # kite keypoints are the box's extreme points
                k = s.kpts[j]
                assert float(k[:, 0].min()) == pytest.approx(x1) and float(k[:, 1].max()) == pytest.approx(y2)


# ------------------------------------------------------------------ model and training
@pytest.fixture(scope="module")
def demo_module():
    pytest.importorskip("halcyra.losses.losses")
    pytest.importorskip("halcyra.infer.predict")
    pytest.importorskip("halcyra.models.neck")
    pytest.importorskip("halcyra.models.refine")
    import demo
    return demo


def test_raw_predictions_and_training_steps(demo_module, sound_convolutions):
    demo = demo_module
    args = demo.parse_args(["--seed", "0"])
    model, criterion, _ = demo.build(args, torch.device("cpu"))
    ds = data.SynthDataset(8, seed=0)
    images, batch = data.collate([ds[i] for i in range(6)])
    preds = model(images)
    A = 16 * 16 + 8 * 8 + 4 * 4
    assert list(preds["feat_shapes"]) == [(16, 16), (8, 8), (4, 4)]
    assert preds["cls_raw"].shape == (6, A, 4) and preds["box_raw"].shape == (6, A, 4)
    assert preds["protos"].shape[-2:] == (64, 64) and preds["coef"].shape[:2] == (6, A)
    assert preds["kpt_raw"].shape == (6, A, 3 * data.NUM_KPTS)
    assert preds["pline_raw"].shape == (6, A, 2 * data.N_PLINE)
    assert preds["tag_logits"].shape == (6, len(data.TAG_NAMES))

    step = demo.TrainStep(model, criterion)
    opt = torch.optim.AdamW(model.parameters(), lr=2e-3)
    totals = []
    for _ in range(6):  # the same batch: the loss must go down
        total, stats = step(images, batch)
        assert set(demo.LOSS_KEYS) <= set(stats)
        assert all(math.isfinite(float(v)) for v in stats.values())
        opt.zero_grad()
        total.backward()
        assert all(torch.isfinite(p.grad).all() for p in model.parameters() if p.grad is not None)
        opt.step()
        totals.append(float(total.detach()))
    assert totals[-1] < totals[0]
    assert float(stats["num_pos"]) > 0

    dets = demo.predict(model, images, 128, conf_thres=0.0, max_det=5)
    assert len(dets) == 6
    for d in dets:
        n = len(d["boxes"])
        assert list(d) == ["boxes", "scores", "cls", "masks", "kpts", "plines", "tags"]
        assert d["masks"].shape == (n, 128, 128) and d["masks"].dtype == torch.bool
        assert d["kpts"].shape == (n, data.NUM_KPTS, 3) and d["plines"].shape == (n, data.N_PLINE, 2)


# ------------------------------------------------------------------ evaluation
def test_box_iou_and_matching():
    a = torch.tensor([[0.0, 0.0, 2.0, 2.0]])
    b = torch.tensor([[1.0, 1.0, 3.0, 3.0], [0.0, 0.0, 2.0, 2.0], [5.0, 5.0, 6.0, 6.0]])
    assert ev.box_iou(a, b).tolist()[0] == pytest.approx([1 / 7, 1.0, 0.0])
    # duplicate detections of one object: only the higher-scoring one matches
    order, gt_of = ev.match(torch.tensor([[0, 0, 2, 2.0], [0, 0, 2, 2.1]]), torch.tensor([0.3, 0.9]), a)
    assert order.tolist() == [1, 0] and gt_of.tolist() == [0, -1]


def test_average_precision_hand_cases():
    assert ev.average_precision([0.9, 0.8], [True, True], 2) == pytest.approx(1.0)
    assert ev.average_precision([0.9], [True], 2) == pytest.approx(0.5)
    # a false positive ranked first halves the precision at full recall
    assert ev.average_precision([0.9, 0.8], [False, True], 1) == pytest.approx(0.5)
    # a false positive ranked last costs nothing
    assert ev.average_precision([0.9, 0.1], [True, False], 1) == pytest.approx(1.0)
    assert ev.average_precision([], [], 3) == 0.0
    assert math.isnan(ev.average_precision([0.5], [False], 0))


def test_mask_keypoint_polyline_measures():
    m1 = torch.zeros(8, 8, dtype=torch.bool)
    m2 = torch.zeros(8, 8, dtype=torch.bool)
    m1[:4, :4] = True
    m2[2:6, :4] = True
    assert ev.mask_iou(m1, m2) == pytest.approx(8 / 24)
    gt = torch.tensor([[10.0, 10.0, 2.0], [50.0, 50.0, 2.0], [0.0, 0.0, 0.0]])
    assert ev.oks(gt[:, :2], gt, 10000.0, [0.05] * 3) == pytest.approx(1.0)
    pred = gt[:, :2].clone()
    pred[0, 0] += 10.0
    pred[2] = 999.0  # an unlabeled keypoint does not count
    assert ev.oks(pred, gt, 10000.0, [0.05] * 3) == pytest.approx((math.exp(-0.5) + 1.0) / 2)
    line = torch.tensor([[0.0, 0.0], [3.0, 4.0], [6.0, 8.0]])
    assert ev.polyline_error(line.flip(0), line) == pytest.approx(0.0)
    assert ev.polyline_error(line + torch.tensor([3.0, 4.0]), line) == pytest.approx(5.0)


def test_evaluate_perfect_and_unannotated_classes():
    ds = data.SynthDataset(6, seed=5, split="val")
    targets = [data.eval_targets(ds[i]) for i in range(6)]
    dets = []
    for t in targets:
        n = len(t["cls"])
        kpts = torch.cat([t["kpts"][:, :, :2], torch.ones(n, data.NUM_KPTS, 1)], -1)
        dets.append({"boxes": t["boxes"], "scores": torch.linspace(0.9, 0.5, n), "cls": t["cls"],
                     "masks": t["masks"], "kpts": kpts, "plines": t["plines"].flip(1), "tags": t["tags"]})
    # a confident lane detection in a "shapes" image is neither a hit nor a false positive
    dets[0]["boxes"] = torch.cat([dets[0]["boxes"], torch.tensor([[5.0, 5.0, 40.0, 90.0]])])
    dets[0]["scores"] = torch.cat([dets[0]["scores"], torch.tensor([0.99])])
    dets[0]["cls"] = torch.cat([dets[0]["cls"], torch.tensor([3])])
    m = ev.evaluate(dets, targets, data.CLASS_NAMES, data.KITE_SIGMAS, pline_classes=(3,))
    assert m["map50"] == pytest.approx(1.0)
    assert all(v == pytest.approx(1.0) for v in m["ap50"].values())
    assert m["mask_iou"] == pytest.approx(1.0) and m["n_mask"] == sum(len(t["cls"]) for t in targets[0::3])
    assert m["oks"] == pytest.approx(1.0) and m["pline_err"] == pytest.approx(0.0, abs=1e-5)
    assert m["tag_acc"] == 1.0
    # moving every detection away gives AP 0
    far = [dict(d, boxes=d["boxes"] + 200.0) for d in dets]
    assert ev.evaluate(far, targets, data.CLASS_NAMES, data.KITE_SIGMAS)["map50"] == 0.0


def test_drawing_writes_png(tmp_path):
    from demo_draw import draw_panel, save_grid
    s = data.SynthDataset(3, seed=2)[0]
    t = data.eval_targets(s)
    p = draw_panel(s.image, t["boxes"], t["cls"], data.CLASS_NAMES, masks=t["masks"], title="x")
    assert p.size == (256, 256)
    path = save_grid([p, p], 2, str(tmp_path / "g.png"), header="h")
    from PIL import Image
    assert Image.open(path).size == (512, 256 + 16)


# ------------------------------------------------------------------ data-parallel
def test_ddp_two_processes(demo_module, tmp_path):
    out = tmp_path / "ddp"
    # --redirects/--tee 1: the defaults ("0") break torchrun of torch 1.13 under Python 3.11.
    # A file-backed rendezvous, USE_LIBUV=0 and no shared TCP store: torch 2.x builds without
    # libuv (Debian's) cannot start torchrun's TCP stores otherwise; older versions ignore both.
    cmd = [sys.executable, "-m", "torch.distributed.run", "--nnodes", "1", "--nproc_per_node", "2",
           "--rdzv_backend", "c10d", "--rdzv_endpoint", str(tmp_path / "rdzv"),
           "--rdzv_conf", "store_type=file",
           "--redirects", "1", "--tee", "1", "--log_dir", str(tmp_path / "logs"),
           os.path.join(REPO, "examples", "demo.py"), "--ddp", "--steps", "2", "--batch", "4",
           "--no-eval", "--quiet", "--out", str(out)]
    env = dict(os.environ, OMP_NUM_THREADS="1", USE_LIBUV="0", TORCH_DISABLE_SHARE_RDZV_TCP_STORE="1")
    r = subprocess.run(cmd, cwd=REPO, env=env, capture_output=True, text=True, timeout=150)
    assert r.returncode == 0, r.stdout[-2000:] + r.stderr[-4000:]
    res = json.loads((out / "metrics.json").read_text())
    assert res["world_size"] == 2 and res["steps"] == 2
    assert res["params_in_sync"] is True
    assert all(math.isfinite(a) and math.isfinite(b) for a, b in res["losses_first_last"].values())


def test_ddp_self_launched_and_failure_propagates(demo_module, tmp_path):
    script = os.path.join(REPO, "examples", "demo.py")
    env = dict(os.environ, OMP_NUM_THREADS="1")
    env.pop("RANK", None)
    env.pop("USE_LIBUV", None)     # the demo chooses the store itself
    out = tmp_path / "self"
    r = subprocess.run([sys.executable, script, "--ddp", "--nproc", "2", "--steps", "2", "--batch", "4",
                        "--no-eval", "--quiet", "--out", str(out)],
                       cwd=REPO, env=env, capture_output=True, text=True, timeout=150)
    assert r.returncode == 0, r.stdout[-2000:] + r.stderr[-4000:]
    res = json.loads((out / "metrics.json").read_text())
    assert res["world_size"] == 2 and res["params_in_sync"] is True
    # a batch that does not split across the processes: every worker stops, the launcher reports it
    r = subprocess.run([sys.executable, script, "--ddp", "--nproc", "2", "--steps", "2", "--batch", "3",
                        "--no-eval", "--quiet", "--out", str(tmp_path / "bad")],
                       cwd=REPO, env=env, capture_output=True, text=True, timeout=150)
    assert r.returncode != 0
    assert "not divisible by 2 processes" in r.stderr
