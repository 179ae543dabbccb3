"""RefineHead: per-instance mask refinement from f2 and the coarse prototype masks."""
import torch
from torch import nn
from torchvision.ops import roi_align

from halcyra import _ops


class RefineHead(nn.Module):
    """Per-instance mask refinement from the stride-2 feature f2 and the coarse
    prototype mask logits.

    For every region (x1, y1, x2, y2 in input pixels) it samples f2 and the coarse
    logits at roi x roi points with roi_align, reduces f2 to `hidden` channels,
    and predicts a correction of the sampled coarse logits with two 3x3
    convolutions and a 1x1 output convolution (zero-initialised, so a new head
    reproduces the coarse mask). Attributes: roi (int, side of the region
    masks), min_side (float, smallest region side kept by sanitize, in input
    pixels)."""

    def __init__(self, in_ch: int = 96, roi: int = 28, hidden: int = 64, min_side: float = 4.0):
        """in_ch: channels of f2; roi: side of the predicted region masks; hidden: width
        of the convolutions; min_side: smallest region side, in input pixels, that
        sanitize keeps."""
        super().__init__()
        in_ch = _ops.integer(in_ch, "RefineHead", "in_ch")
        roi = _ops.integer(roi, "RefineHead", "roi")
        hidden = _ops.integer(hidden, "RefineHead", "hidden")
        if not _ops.is_number(min_side):
            raise TypeError("RefineHead(): argument 'min_side' must be a number, not "
                            + _ops.type_name(min_side))
        min_side = float(_ops.number(min_side))
        if roi < 1:
            raise ValueError("RefineHead(): roi must be at least 1")
        self.roi = roi
        self.min_side = min_side
        self.reduce = nn.Conv2d(in_ch, hidden, 1)
        # The body's second convolution draws its initial weights before the
        # first, as the head always has: a seed gives the weights it gave.
        second = nn.Conv2d(hidden, hidden, 3, padding=1)
        first = nn.Conv2d(hidden + 1, hidden, 3, padding=1)
        self.body = nn.Sequential(first, nn.ReLU(), second, nn.ReLU())
        out = nn.Conv2d(hidden, 1, 1)
        nn.init.zeros_(out.weight)
        nn.init.zeros_(out.bias)
        self.out = out

    def sanitize(self, boxes: torch.Tensor, size, stride: float) -> torch.Tensor:
        """Boxes (N, 4) xyxy in input pixels made safe to sample: corners ordered,
        NaN and infinite coordinates replaced, clipped to the feature extent
        (size[0] * stride high, size[1] * stride wide), and each side widened about
        its centre to at least min_side (or the whole extent when that is smaller).
        Row k of the result comes from row k of boxes."""
        boxes = _ops.tensor(boxes, "sanitize", "boxes")
        h, w = size
        stride = _ops.double(stride, "sanitize", "stride")
        height = _ops.double(h, "sanitize", "size") * stride
        width = _ops.double(w, "sanitize", "size") * stride
        return torch.ops.halcyra.sanitize_boxes(boxes, height, width,
                                                _ops.double(self.min_side, "sanitize", "min_side"))

    def forward(self, f2: torch.Tensor, coarse: torch.Tensor, boxes: torch.Tensor, bidx: torch.Tensor,
                stride: float) -> torch.Tensor:
        """Region mask logits (N, roi, roi).

        f2 (B, C, H2, W2) with `stride` input pixels per cell; coarse (N, hm, wm)
        logits on the prototype grid, which spans the same input extent (W2 * stride
        by H2 * stride pixels); boxes (N, 4) regions in input pixels; bidx (N,) the
        image of each region in f2."""
        with torch.profiler.record_function("halcyra::RefineHead.forward"):
            f2 = _ops.tensor(f2, "forward", "f2")
            coarse = _ops.tensor(coarse, "forward", "coarse")
            boxes = _ops.tensor(boxes, "forward", "boxes")
            bidx = _ops.tensor(bidx, "forward", "bidx")
            stride = _ops.double(stride, "forward", "stride")
            # the region rows of both samplings, after the checks of the inputs
            feat_rois, coarse_rois = torch.ops.halcyra.refine_rois(f2, coarse, boxes, bidx, stride)
            roi = _ops.integer(self.roi, "forward", "roi")
            size = (roi, roi)
            f_roi = roi_align(f2, feat_rois, size, spatial_scale=1.0 / stride, sampling_ratio=2,
                              aligned=True)
            c_roi = roi_align(coarse.to(f2.dtype).unsqueeze(1), coarse_rois, size, spatial_scale=1.0,
                              sampling_ratio=2, aligned=True)
            x = torch.cat([self.reduce(f_roi), c_roi], 1)
            return self.out(self.body(x)).select(1, 0) + c_roi.select(1, 0)

    def extra_repr(self) -> str:
        """The settings shown in the module's repr (roi, min_side)."""
        return "roi={}, min_side={}".format(self.roi, self.min_side)
