"""HRNeckLite: the feature neck that turns the trunk's five outputs into the
detection levels p3, p4, p5 and the mask features c2, f2."""
import torch
import torch.nn.functional as F
from torch import Tensor, nn

from halcyra import _ops  # noqa: F401  (loads the operator library)

try:
    from halcyra.models.backbone import BN_MOMENTUM
except ImportError:         # the trunk's value where the backbone cannot be found
    BN_MOMENTUM = 0.03

# What the fused concatenation stands for, as loaded: the module's own F and
# torch may be rebound, and then their calls are made as written.
_interpolate = F.interpolate
_cat = torch.cat
_plain = torch.Tensor
# the profiler region of forward, whatever the module's `torch` is rebound to
_region = torch.profiler.record_function


def _compiling():
    """Whether torch.compile or torch.export is tracing the caller (never, on a
    torch without a compiler)."""
    compiler = getattr(torch, "compiler", None)
    return compiler is not None and compiler.is_compiling()


def _conv_bn_silu(in_ch: int, out_ch: int, kernel: int) -> nn.Sequential:
    """Conv-BN-SiLU block: nn.Sequential(Conv2d(in_ch, out_ch, kernel, stride 1,
    padding kernel // 2, no bias), BatchNorm2d(out_ch, momentum=BN_MOMENTUM),
    SiLU(inplace=True)). Positions 0, 1, 2 name the parameters in checkpoints."""
    return nn.Sequential(nn.Conv2d(in_ch, out_ch, kernel, padding=kernel // 2, bias=False),
                         nn.BatchNorm2d(out_ch, momentum=BN_MOMENTUM),
                         nn.SiLU(inplace=True))


def _upsample_cat(xs, factors):
    """torch.cat([F.interpolate(x, scale_factor=float(f), mode="nearest") ...
    (x itself for f == 1)], dim=1) as one operator that writes each upsampled
    input straight into its slice of the result, where that gives exactly what
    the statements give: F.interpolate and torch.cat are the library's own,
    nothing traces or compiles the call, and the inputs are plain tensors the
    kernel takes. None otherwise: the caller makes the calls as written."""
    if (F.interpolate is not _interpolate or torch.cat is not _cat or _compiling()
            or torch.jit.is_tracing() or len(factors) != len(xs)):
        return None
    for x in xs:
        if type(x) is not _plain:
            return None
    if not torch.ops.halcyra.upsample_cat_applies(xs, factors):
        return None
    return torch.ops.halcyra.upsample_cat(xs, factors)


class HRNeckLite(nn.Module):
    """Feature neck between a high-resolution multi-branch trunk and the heads.

    Each detection level p3, p4, p5 comes from its own trunk branch alone
    (lateral 1x1 block, then a 3x3 smoothing block); the only cross-resolution
    step builds the mask features: c2 (stride 4) from all branches upsampled to
    stride 4 and concatenated, and f2 (stride 2) from c2 upsampled and fused with
    the stem's stride-2 feature."""

    def __init__(self, in_channels: tuple = (18, 36, 72, 144), width: int = 128, c2_ch: int = 96,
                 stem_ch: int = 64, with_mask: bool = True):
        """Build the neck.

        in_channels: channel counts of the trunk's stride 4, 8, 16, 32 branches;
        entries 1 onward become detection levels, all of them enter c2.
        width: channels of p3/p4/p5. c2_ch: channels of c2 and f2. stem_ch: channels
        of the stride-2 stem feature. with_mask: whether forward computes c2 and f2
        (their blocks exist either way, so checkpoints load in both cases).
        Convolution weights: Kaiming normal (fan_out, relu), drawn from the global
        generator in registration order; batch-norm weights 1, biases 0."""
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
        """ys: [y2, y4, y8, y16, y32], the stem's stride-2 feature then the trunk's
        branches from fine to coarse (one more than in_channels has entries).
        Returns a new dict: c2 (B, c2_ch, H/4, W/4) and f2 (B, c2_ch, H/2, W/2) when
        with_mask is true, then p3, p4, p5 (B, width, H/8 .. H/32), one per lateral
        block. AssertionError on a wrong number of inputs (unless run with -O)."""
        with _region("halcyra::HRNeckLite.forward"):
            assert len(ys) == len(self.laterals) + 2, (
                f"expected {len(self.laterals) + 2} levels (incl. y2), got {len(ys)}")
            y2, feats = ys[0], ys[1:]
            out = {}
            if self.with_mask:
                # [y4] + [y8, y16, y32 upsampled by 2, 4, 8] concatenated on dim 1
                parts = [feats[0], *feats[1:]]
                cat_in = _upsample_cat(parts, [2 ** i for i in range(min(len(parts), 31))])
                if cat_in is None:
                    ups = [parts[0]] + [F.interpolate(f, scale_factor=float(2 ** (i + 1)),
                                                      mode="nearest")
                                        for i, f in enumerate(parts[1:])]
                    c2 = self.c2_conv(torch.cat(ups, dim=1))
                else:
                    c2 = self.c2_conv(cat_in)
                out["c2"] = c2
                f2_in = _upsample_cat([c2, y2], [2, 1])
                if f2_in is None:
                    up = F.interpolate(c2, scale_factor=2.0, mode="nearest")
                    out["f2"] = self.f2_conv(torch.cat([up, y2], dim=1))
                else:
                    out["f2"] = self.f2_conv(f2_in)
            for name, f, lat, sm in zip(("p3", "p4", "p5"), feats[1:], self.laterals, self.smooths):
                out[name] = sm(lat(f))
            return out
