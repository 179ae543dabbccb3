"""A small multi-task detector built on halcyra: trunk -> HRNeckLite -> heads.

The trunk is a plain strided Conv-BN-SiLU stack with the five outputs the neck
expects ([y2, y4, y8, y16, y32]); the heads are shared across the three
detection levels and fill the raw prediction dictionary through
`flatten_preds`, the one flattening that lines up with the anchor grid.
"""
import math

import torch
import torch.nn as nn

from halcyra.infer.decode import flatten_preds
from halcyra.models.neck import HRNeckLite
from halcyra.models.refine import RefineHead


def cbs(cin, cout, k=3, s=1):
    return nn.Sequential(nn.Conv2d(cin, cout, k, s, k // 2, bias=False), nn.BatchNorm2d(cout, momentum=0.03), nn.SiLU(inplace=True))


class Trunk(nn.Module):
    """Five stages at strides 2, 4, 8, 16, 32 (stem, then four branches)."""

    def __init__(self, stem_ch=16, widths=(16, 24, 32, 48)):
        super().__init__()
        self.stem = nn.Sequential(cbs(3, stem_ch, 3, 2), cbs(stem_ch, stem_ch))
        stages, cin = [], stem_ch
        for w in widths:
            stages.append(nn.Sequential(cbs(cin, w, 3, 2), cbs(w, w)))
            cin = w
        self.stages = nn.ModuleList(stages)

    def forward(self, x):
        ys = [self.stem(x)]
        for st in self.stages:
            ys.append(st(ys[-1]))
        return ys


class DemoDetector(nn.Module):
    """Trunk + HRNeckLite + detection, mask, keypoint, polyline and tag heads.

    forward(images) returns the raw prediction dictionary of halcyra:
    cls_raw, box_raw, coef, protos, f2, kpt_raw, pline_raw, tag_logits, feat_shapes.
    """

    def __init__(self, nc=4, num_kpts=4, n_pline=8, num_tags=3, n_protos=8,
                 stem_ch=16, widths=(16, 24, 32, 48), width=48, c2_ch=24, refine_roi=14, refine_hidden=24):
        super().__init__()
        self.nc, self.num_kpts, self.n_pline, self.n_protos = nc, num_kpts, n_pline, n_protos
        self.trunk = Trunk(stem_ch, widths)
        self.neck = HRNeckLite(tuple(widths), width, c2_ch, stem_ch, True)
        self.cls_tower = nn.Sequential(cbs(width, width), cbs(width, width))
        self.reg_tower = nn.Sequential(cbs(width, width), cbs(width, width))
        self.shape_tower = nn.Sequential(cbs(width, width), cbs(width, width))
        self.cls_out = nn.Conv2d(width, nc, 1)
        self.box_out = nn.Conv2d(width, 4, 1)
        self.coef_out = nn.Conv2d(width, n_protos, 1)
        self.kpt_out = nn.Conv2d(width, 3 * num_kpts, 1)
        self.pline_out = nn.Conv2d(width, 2 * n_pline, 1)
        self.proto_net = nn.Sequential(cbs(c2_ch, c2_ch), nn.Conv2d(c2_ch, n_protos, 1))
        self.tag_out = nn.Linear(6 * width, num_tags)
        self.refine = RefineHead(in_ch=c2_ch, roi=refine_roi, hidden=refine_hidden)
        self._init_heads()

    def _init_heads(self):
        nn.init.constant_(self.cls_out.bias, -math.log((1 - 0.01) / 0.01))  # prior 0.01
        nn.init.normal_(self.cls_out.weight, std=0.01)
        nn.init.normal_(self.box_out.weight, std=0.01)
        nn.init.constant_(self.box_out.bias, 1.5)  # softplus(1.5) - 0.5 ~ 1.2 strides per side
        for m in (self.kpt_out, self.pline_out):
            nn.init.normal_(m.weight, std=0.01)
            nn.init.zeros_(m.bias)

    def forward(self, images):
        ys = self.trunk(images)
        feats = self.neck(ys)
        levels = [feats["p3"], feats["p4"], feats["p5"]]
        cls, box, coef, kpt, pline = [], [], [], [], []
        for p in levels:
            c, r, s = self.cls_tower(p), self.reg_tower(p), self.shape_tower(p)
            cls.append(flatten_preds(self.cls_out(c)))
            box.append(flatten_preds(self.box_out(r)))
            coef.append(flatten_preds(self.coef_out(s)))
            kpt.append(flatten_preds(self.kpt_out(s)))
            pline.append(flatten_preds(self.pline_out(r)))
        # image tags from global mean and max pooling of every level (darkness
        # is a mean, a thin frame or rain streaks show in the maxima)
        pooled = torch.cat([p.mean((2, 3)) for p in levels] + [p.amax((2, 3)) for p in levels], 1)
        return {
            "cls_raw": torch.cat(cls, 1),
            "box_raw": torch.cat(box, 1),
            "coef": torch.cat(coef, 1),
            "protos": self.proto_net(feats["f2"]),  # stride 2: input / 2
            "f2": feats["f2"],
            "kpt_raw": torch.cat(kpt, 1),
            "pline_raw": torch.cat(pline, 1),
            "tag_logits": self.tag_out(pooled),
            "feat_shapes": [tuple(p.shape[-2:]) for p in levels],
        }

