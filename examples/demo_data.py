"""Synthetic multi-task scenes for the halcyra end-to-end demo.

Every sample is drawn from its own seeded generator, so the dataset needs no
storage and no download: sample i of a split is the same on every run and on
every process. Three sources annotate different things, as real merged
datasets do:

    source 0 "shapes"  ellipses and triangles: boxes + instance polygons
    source 1 "kites"   kites: boxes + 4 keypoints (top, right, bottom, left)
    source 2 "roads"   lanes: polylines + image-level tags

Objects that a source does not annotate still appear in its images (a lane
in a "shapes" image, ellipses and kites in a "roads" image); the per-source
availability flags (has_rect, has_polygon, ...) keep the criterion from
treating them as background.
"""
import math
import random
from dataclasses import dataclass, field

import torch
from PIL import Image, ImageDraw

CLASS_NAMES = ("ellipse", "triangle", "kite", "lane")
TAG_NAMES = ("night", "rain", "frame")
SOURCE_NAMES = ("shapes", "kites", "roads")
NUM_KPTS = 4
N_PLINE = 8
MAX_OBJECTS = 4  # ground-truth slots per image (G)
KITE_SIGMAS = (0.05, 0.06, 0.05, 0.06)

# what each source annotates: (has_rect, has_polygon, has_keypoint, has_polyline, has_tags)
SOURCE_FLAGS = {
    0: (True, True, False, False, False),
    1: (True, False, True, False, False),
    2: (False, False, False, True, True),
}
# the classes each source annotates (used by the evaluation)
SOURCE_CLASSES = {0: (0, 1), 1: (2,), 2: (3,)}


class LabelSpace:
    """The label space the criterion reads: category count and per-category info."""

    def __init__(self):
        self.categories = [
            {"name": "ellipse"},
            {"name": "triangle"},
            {"name": "kite", "kpt_sigmas": list(KITE_SIGMAS)},
            {"name": "lane", "is_polyline": True},
        ]
        self.num_categories = len(self.categories)
        self.tags = list(TAG_NAMES)


@dataclass
class Sample:
    image: torch.Tensor            # (3, S, S) uint8
    source: int
    boxes: torch.Tensor            # (n, 4) float32, annotated objects only
    cls: torch.Tensor              # (n,) int64
    polygons: list                 # per object: list of (x, y) or None
    kpts: torch.Tensor             # (n, K, 3)
    plines: torch.Tensor           # (n, N, 2)
    tags: torch.Tensor             # (T,) float32
    flags: tuple = field(default=(False,) * 5)


def _bbox(pts):
    xs = [p[0] for p in pts]
    ys = [p[1] for p in pts]
    return [min(xs), min(ys), max(xs), max(ys)]


def _overlaps(box, boxes, limit=0.15):
    for b in boxes:
        ix = max(0.0, min(box[2], b[2]) - max(box[0], b[0]))
        iy = max(0.0, min(box[3], b[3]) - max(box[1], b[1]))
        inter = ix * iy
        a1 = (box[2] - box[0]) * (box[3] - box[1])
        a2 = (b[2] - b[0]) * (b[3] - b[1])
        if inter / max(1e-6, min(a1, a2)) > limit:
            return True
    return False


def _bright_color(rng, dark_bg):
    base = [rng.randint(40, 255) for _ in range(3)]
    base[rng.randrange(3)] = rng.randint(200, 255)
    if not dark_bg:
        base[rng.randrange(3)] = rng.randint(0, 60)
    return tuple(base)


def _ellipse(rng, size):
    r1, r2 = rng.uniform(7, 20), rng.uniform(7, 20)
    cx, cy = rng.uniform(r1 + 3, size - r1 - 3), rng.uniform(r2 + 3, size - r2 - 3)
    rot = rng.uniform(0, math.pi)
    pts = []
    for k in range(24):
        t = 2 * math.pi * k / 24
        x, y = r1 * math.cos(t), r2 * math.sin(t)
        pts.append((cx + x * math.cos(rot) - y * math.sin(rot), cy + x * math.sin(rot) + y * math.cos(rot)))
    return pts


def _triangle(rng, size):
    for _ in range(50):
        cx, cy = rng.uniform(18, size - 18), rng.uniform(18, size - 18)
        r = rng.uniform(10, 22)
        a0 = rng.uniform(0, 2 * math.pi)
        pts = []
        for k in range(3):
            a = a0 + 2 * math.pi * k / 3 + rng.uniform(-0.35, 0.35)
            pts.append((cx + r * math.cos(a), cy + r * math.sin(a)))
        b = _bbox(pts)
        if b[0] >= 1 and b[1] >= 1 and b[2] <= size - 1 and b[3] <= size - 1 and min(b[2] - b[0], b[3] - b[1]) > 10:
            return pts
    return pts


def _kite(rng, size):
    """A kite with keypoints top, right, bottom, left (the four tips)."""
    up, down = rng.uniform(8, 15), rng.uniform(14, 26)
    left, right = rng.uniform(7, 15), rng.uniform(7, 15)
    cx = rng.uniform(left + 3, size - right - 3)
    cy = rng.uniform(up + 3, size - down - 3)
    rot = rng.uniform(-0.3, 0.3)
    local = [(0, -up), (right, 0), (0, down), (-left, 0)]
    pts = [(cx + x * math.cos(rot) - y * math.sin(rot), cy + x * math.sin(rot) + y * math.cos(rot)) for x, y in local]
    return pts


def _lane(rng, size, n):
    """A lane: a quadratic curve from the bottom part of the image upwards, n points."""
    x0 = rng.uniform(8, size - 8)
    y0 = rng.uniform(size * 0.8, size - 3)
    x2 = x0 + rng.choice((-1, 1)) * rng.uniform(20, 55)
    x2 = min(max(x2, 6), size - 6)
    y2 = rng.uniform(6, size * 0.45)
    x1 = (x0 + x2) / 2 + rng.uniform(-14, 14)
    y1 = (y0 + y2) / 2
    pts = []
    for k in range(n):
        t = k / (n - 1)
        x = (1 - t) ** 2 * x0 + 2 * (1 - t) * t * x1 + t * t * x2
        y = (1 - t) ** 2 * y0 + 2 * (1 - t) * t * y1 + t * t * y2
        pts.append((x, y))
    return pts


def lane_box(pts, min_side=12.0, size=None):
    """Box of a lane: its points' extent, widened to min_side around the centre."""
    x1, y1, x2, y2 = _bbox(pts)
    cx, cy = (x1 + x2) / 2, (y1 + y2) / 2
    w, h = max(x2 - x1, min_side), max(y2 - y1, min_side)
    box = [cx - w / 2, cy - h / 2, cx + w / 2, cy + h / 2]
    if size is not None:
        box = [min(max(v, 0.0), float(size)) for v in box]
    return box


def render_sample(seed, source, size=128):
    """Draw one scene of `source` from `seed`; returns a Sample."""
    rng = random.Random(seed)
    night = rng.random() < 0.5
    rain = rng.random() < 0.5
    frame = rng.random() < 0.5
    tags = torch.tensor([night, rain, frame], dtype=torch.float32)

    lo, hi = (10, 70) if night else (120, 210)
    c0 = [rng.randint(lo, hi) for _ in range(3)]
    c1 = [min(255, max(0, v + rng.randint(-40, 40))) for v in c0]
    img = Image.new("RGB", (size, size))
    drw = ImageDraw.Draw(img)
    for y in range(size):  # vertical gradient background
        t = y / (size - 1)
        drw.line([(0, y), (size, y)], fill=tuple(int(a + (b - a) * t) for a, b in zip(c0, c1)))
    if rain:
        col = tuple(min(255, v + 45) for v in c0)
        for _ in range(rng.randint(18, 30)):
            x, y = rng.uniform(-10, size), rng.uniform(-10, size)
            drw.line([(x, y), (x + 4, y + 10)], fill=col, width=1)
    if frame:
        fc = tuple(rng.randint(0, 255) for _ in range(3))
        drw.rectangle([0, 0, size - 1, size - 1], outline=fc, width=4)

    annotated = []  # (cls, pts)
    placed = []
    distract = []

    def place(kind):
        for _ in range(30):
            if kind == 0:
                pts = _ellipse(rng, size)
            elif kind == 1:
                pts = _triangle(rng, size)
            else:
                pts = _kite(rng, size)
            b = _bbox(pts)
            if not _overlaps(b, placed):
                placed.append(b)
                return pts
        return None

    if source == 0:
        for _ in range(rng.randint(1, MAX_OBJECTS)):
            k = rng.randrange(2)
            pts = place(k)
            if pts:
                annotated.append((k, pts))
        if rng.random() < 0.5:
            distract.append((3, _lane(rng, size, N_PLINE)))
    elif source == 1:
        for _ in range(rng.randint(1, 3)):
            pts = place(2)
            if pts:
                annotated.append((2, pts))
        if rng.random() < 0.5:
            distract.append((3, _lane(rng, size, N_PLINE)))
    else:
        for _ in range(rng.randint(1, 3)):
            for _try in range(20):
                pts = _lane(rng, size, N_PLINE)
                b = lane_box(pts)
                if not _overlaps(b, placed, 0.5):
                    placed.append(b)
                    annotated.append((3, pts))
                    break
        for _ in range(rng.randint(0, 2)):
            k = rng.randrange(3)
            pts = place(k)
            if pts:
                distract.append((k, pts))

    # lanes first (they lie on the ground), then the shapes on top
    for k, pts in sorted(annotated + distract, key=lambda o: o[0] != 3):
        col = _bright_color(rng, night)
        if k == 3:
            drw.line(pts, fill=col, width=3, joint="curve")
        else:
            drw.polygon(pts, fill=col)
            if k == 2:  # a darker spine marks the kite's long axis
                drw.line([pts[0], pts[2]], fill=tuple(v // 2 for v in col), width=1)

    boxes, cls, polys, kpts, plines = [], [], [], [], []
    for k, pts in annotated:
        cls.append(k)
        if k == 3:
            boxes.append(lane_box(pts, size=size))
            polys.append(None)
            kpts.append([[0.0, 0.0, 0.0]] * NUM_KPTS)
            plines.append(pts)
        else:
            boxes.append(_bbox(pts))
            polys.append(pts if k in (0, 1) else None)
            kpts.append([[x, y, 2.0] for x, y in pts] if k == 2 else [[0.0, 0.0, 0.0]] * NUM_KPTS)
            plines.append([(0.0, 0.0)] * N_PLINE)
    n = len(cls)
    image = torch.frombuffer(bytearray(img.tobytes()), dtype=torch.uint8).reshape(size, size, 3).permute(2, 0, 1).contiguous()
    return Sample(
        image=image, source=source,
        boxes=torch.tensor(boxes, dtype=torch.float32).reshape(n, 4),
        cls=torch.tensor(cls, dtype=torch.int64),
        polygons=polys,
        kpts=torch.tensor(kpts, dtype=torch.float32).reshape(n, NUM_KPTS, 3),
        plines=torch.tensor(plines, dtype=torch.float32).reshape(n, N_PLINE, 2),
        tags=tags, flags=SOURCE_FLAGS[source])


def rasterize(poly, size, scale=1.0):
    """Polygon -> (size, size) bool mask, the polygon's coordinates multiplied by scale."""
    m = Image.new("L", (size, size), 0)
    ImageDraw.Draw(m).polygon([(x * scale, y * scale) for x, y in poly], fill=1)
    return torch.frombuffer(bytearray(m.tobytes()), dtype=torch.uint8).reshape(size, size).bool()


class SynthDataset:
    """Seeded, stateless synthetic dataset: item i is always the same scene.

    Sources alternate with the index (i % 3), so every batch mixes all three.
    """

    def __init__(self, length, seed=0, split="train", size=128):
        assert size % 32 == 0, "input size must be a multiple of 32"
        self.length = length
        self.size = size
        self.base = (seed * 1_000_003 + (0 if split == "train" else 7_919_113)) * 97

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        if not 0 <= i < self.length:
            raise IndexError(i)
        return render_sample(self.base + i, i % 3, self.size)


def collate(samples, device="cpu", mask_stride=2):
    """Samples -> (images float (B, 3, S, S), batch dictionary of the criterion)."""
    B = len(samples)
    S = samples[0].image.shape[-1]
    G = max(1, max(len(s.cls) for s in samples))
    hm = S // mask_stride
    T = samples[0].tags.numel()
    gt_boxes = torch.zeros(B, G, 4)
    gt_cls = torch.zeros(B, G, dtype=torch.int64)
    gt_valid = torch.zeros(B, G, dtype=torch.bool)
    gt_masks = torch.zeros(B, G, hm, hm, dtype=torch.uint8)
    mask_valid = torch.zeros(B, G, dtype=torch.bool)
    gt_kpts = torch.zeros(B, G, NUM_KPTS, 3)
    kpt_valid = torch.zeros(B, G, dtype=torch.bool)
    gt_plines = torch.zeros(B, G, N_PLINE, 2)
    pline_valid = torch.zeros(B, G, dtype=torch.bool)
    flags = torch.zeros(5, B, dtype=torch.bool)
    gt_tags = torch.zeros(B, T)
    for b, s in enumerate(samples):
        n = len(s.cls)
        gt_boxes[b, :n] = s.boxes
        gt_cls[b, :n] = s.cls
        gt_valid[b, :n] = True
        gt_kpts[b, :n] = s.kpts
        gt_plines[b, :n] = s.plines
        for j in range(n):
            if s.polygons[j] is not None:
                gt_masks[b, j] = rasterize(s.polygons[j], hm, 1.0 / mask_stride)
                mask_valid[b, j] = True
            kpt_valid[b, j] = bool((s.kpts[j, :, 2] > 0).any())
            pline_valid[b, j] = int(s.cls[j]) == 3
        flags[:, b] = torch.tensor(s.flags)
        gt_tags[b] = s.tags
    images = torch.stack([s.image for s in samples]).float().div_(255.0)
    batch = {
        "gt_boxes": gt_boxes, "gt_cls": gt_cls, "gt_valid": gt_valid,
        "gt_ignore": torch.zeros(B, G, dtype=torch.bool),
        "has_rect": flags[0], "has_polygon": flags[1], "has_keypoint": flags[2],
        "has_polyline": flags[3], "has_tags": flags[4],
        "gt_tags": gt_tags, "gt_masks": gt_masks, "mask_valid": mask_valid,
        "gt_kpts": gt_kpts, "kpt_valid": kpt_valid,
        "gt_plines": gt_plines, "pline_valid": pline_valid,
    }
    batch = {k: v.to(device) for k, v in batch.items()}
    return images.to(device), batch


def eval_targets(sample):
    """Ground truth of one sample for the evaluation (full-resolution masks)."""
    S = sample.image.shape[-1]
    masks = torch.zeros(len(sample.cls), S, S, dtype=torch.bool)
    for j, p in enumerate(sample.polygons):
        if p is not None:
            masks[j] = rasterize(p, S)
    return {"boxes": sample.boxes, "cls": sample.cls, "masks": masks, "kpts": sample.kpts,
            "plines": sample.plines, "tags": sample.tags, "source": sample.source,
            "classes": SOURCE_CLASSES[sample.source], "has_tags": sample.flags[4]}
