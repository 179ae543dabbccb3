"""Fake kernels of the predict module's operators whose result sizes depend on
values (torch.ops.halcyra.select_candidates and class_nms): the result sizes
are new unbacked sizes of the compiler's, which only a fake kernel written in
Python can make. The extension module imports this file when it loads; where
torch has neither torch.library.register_fake nor impl_abstract (and
get_ctx), nothing is registered. The other operators' fake kernels are C++
(csrc/predict/ops.cpp)."""
import torch


def _register():
    library = torch.library
    register = getattr(library, "register_fake", None) or getattr(library, "impl_abstract", None)
    get_ctx = getattr(library, "get_ctx", None)
    if register is None or get_ctx is None:
        return

    @register("halcyra::select_candidates")
    def _select_candidates(logits, thr):
        torch._check_value(logits.dim() == 3,
                           lambda: "select_candidates(): logits must have shape (B, A, nc)")
        n = get_ctx().new_dynamic_size()
        score = logits.dtype if logits.is_floating_point() else torch.get_default_dtype()
        index = logits.new_empty((n,), dtype=torch.long)
        return index, torch.empty_like(index), logits.new_empty((n,), dtype=score), \
            torch.empty_like(index)

    @register("halcyra::class_nms")
    def _class_nms(boxes, scores, cls, iou):
        torch._check_value(
            boxes.dim() == 2 and scores.dim() == 1 and cls.dim() == 1,
            lambda: "class_nms(): boxes (m, 4), scores (m,) and cls (m,) expected")
        m = boxes.shape[0]
        for ok in (boxes.shape[1] == 4, scores.shape[0] == m, cls.shape[0] == m):
            torch._check_value(
                ok, lambda: "class_nms(): boxes (m, 4), scores (m,) and cls (m,) expected")
        return boxes.new_empty((get_ctx().new_dynamic_size(),), dtype=torch.long)


_register()
