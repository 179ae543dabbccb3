"""The feature neck written as a plain Python torch.nn.Module.

This is the eager baseline of bench/bench_neck.py and the reference of
tests/test_neck.py: the same structure (and so the same parameter names) as
halcyra.models.neck.HRNeckLite.
"""
import torch
import torch.nn.functional as F
from torch import Tensor, nn

BN_MOMENTUM = 0.03


def _conv_bn_silu(in_ch: int, out_ch: int, kernel: int) -> nn.Sequential:
    return nn.Sequential(
        nn.Conv2d(in_ch, out_ch, kernel, padding=kernel // 2, bias=False),
        nn.BatchNorm2d(out_ch, momentum=BN_MOMENTUM),
        nn.SiLU(inplace=True),
    )


class RefNeck(nn.Module):
    def __init__(self, in_channels: tuple = (18, 36, 72, 144), width: int = 128,
                 c2_ch: int = 96, stem_ch: int = 64, with_mask: bool = True):
        super().__init__()
        self.laterals = nn.ModuleList([_conv_bn_silu(c, width, 1) for c in in_channels[1:]])
        self.smooths = nn.ModuleList([_conv_bn_silu(width, width, 3) for _ in in_channels[1:]])
        self.with_mask = with_mask
        self.c2_conv = _conv_bn_silu(sum(in_channels), c2_ch, 1)
        self.f2_conv = _conv_bn_silu(c2_ch + stem_ch, c2_ch, 3)
        for m in self.modules():
            if isinstance(m, nn.Conv2d):
                nn.init.kaiming_normal_(m.weight, mode="fan_out", nonlinearity="relu")
            elif isinstance(m, nn.BatchNorm2d):
                nn.init.constant_(m.weight, 1.0)
                nn.init.constant_(m.bias, 0.0)

    def forward(self, ys: list[Tensor]) -> dict:
        assert len(ys) == len(self.laterals) + 2, \
            f"expected {len(self.laterals) + 2} levels (incl. y2), got {len(ys)}"
        y2, feats = ys[0], ys[1:]
        out = {}
        if self.with_mask:
            ups = [feats[0]] + [F.interpolate(f, scale_factor=float(2 ** (i + 1)), mode="nearest")
                                for i, f in enumerate(feats[1:])]
            c2 = self.c2_conv(torch.cat(ups, dim=1))
            out["c2"] = c2
            up = F.interpolate(c2, scale_factor=2.0, mode="nearest")
            out["f2"] = self.f2_conv(torch.cat([up, y2], dim=1))
        for name, f, lat, sm in zip(("p3", "p4", "p5"), feats[1:], self.laterals, self.smooths):
            out[name] = sm(lat(f))
        return out
