"""Drawing of ground truth and detections on validation images (Pillow)."""
import torch
from PIL import Image, ImageDraw

CLASS_COLORS = ((255, 80, 80), (80, 200, 255), (255, 220, 40), (120, 255, 120))
KPT_COLORS = ((255, 0, 0), (0, 255, 0), (0, 120, 255), (255, 0, 255))


def _to_pil(image, scale):
    arr = image.permute(1, 2, 0).contiguous().numpy() if image.dtype == torch.uint8 else \
        (image.clamp(0, 1) * 255).byte().permute(1, 2, 0).contiguous().numpy()
    im = Image.fromarray(arr, "RGB")
    return im.resize((im.width * scale, im.height * scale), Image.NEAREST)


def draw_panel(image, boxes, cls, class_names, masks=None, kpts=None, plines=None, scores=None,
               pline_classes=(), kpt_classes=(), title="", scale=2):
    """One image with its instances drawn; coordinates in input pixels."""
    im = _to_pil(image, scale).convert("RGBA")
    overlay = Image.new("RGBA", im.size, (0, 0, 0, 0))
    if masks is not None:
        for m, c in zip(masks, cls.tolist()):
            if m is None or not m.any():
                continue
            mm = Image.fromarray((m.to(torch.uint8) * 110).numpy(), "L").resize(im.size, Image.NEAREST)
            layer = Image.new("RGBA", im.size, CLASS_COLORS[c % len(CLASS_COLORS)] + (0,))
            layer.putalpha(mm)
            overlay = Image.alpha_composite(overlay, layer)
    im = Image.alpha_composite(im, overlay)
    d = ImageDraw.Draw(im)
    for i, (b, c) in enumerate(zip(boxes.tolist(), cls.tolist())):
        col = CLASS_COLORS[c % len(CLASS_COLORS)]
        x1, y1, x2, y2 = [v * scale for v in b]
        d.rectangle([x1, y1, x2, y2], outline=col, width=1)
        label = class_names[c] + (f" {float(scores[i]):.2f}" if scores is not None else "")
        d.text((x1 + 2, max(0, y1 - 10)), label, fill=col)
        if plines is not None and c in pline_classes:
            pts = [(x * scale, y * scale) for x, y in plines[i].tolist()]
            d.line(pts, fill=(255, 255, 255), width=2)
            for x, y in pts:
                d.ellipse([x - 2, y - 2, x + 2, y + 2], fill=col)
        if kpts is not None and c in kpt_classes:
            k = kpts[i]
            pts = [(x * scale, y * scale) for x, y in k[:, :2].tolist()]
            d.line(pts + pts[:1], fill=(255, 255, 255), width=1)
            for j, (x, y) in enumerate(pts):
                d.ellipse([x - 3, y - 3, x + 3, y + 3], fill=KPT_COLORS[j % len(KPT_COLORS)])
    if title:
        d.rectangle([0, im.height - 12, im.width, im.height], fill=(0, 0, 0, 255))
        d.text((3, im.height - 12), title, fill=(255, 255, 255))
    return im.convert("RGB")


def save_grid(panels, cols, path, header=None):
    """Tile PIL panels row by row into one PNG."""
    w, h = panels[0].size
    rows = (len(panels) + cols - 1) // cols
    top = 16 if header else 0
    grid = Image.new("RGB", (w * cols, h * rows + top), (20, 20, 20))
    for i, p in enumerate(panels):
        grid.paste(p, ((i % cols) * w, (i // cols) * h + top))
    if header:
        ImageDraw.Draw(grid).text((4, 2), header, fill=(255, 255, 255))
    grid.save(path)
    return path
