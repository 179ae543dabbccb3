"""halcyra's operator library (lib/libhalcyra.so: every kernel and operator,
no Python in it) loaded into torch with the fake kernels only Python can
write, and the argument checks the modules' Python faces share, with the
messages the tensor library's own bindings give."""
import math
import operator
import os

import torch

import halcyra

LIBRARY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib", "libhalcyra.so")

_PATHS = {"": "0", "0": "0", "1": "1", "scalar": "scalar"}


def _paths():
    """HALCYRA_GENERIC as the library reads it: the code paths its kernels take."""
    value = os.environ.get("HALCYRA_GENERIC", "")
    if value not in _PATHS:
        raise ValueError(
            f"HALCYRA_GENERIC={value!r}: expected '0' (or unset or empty: the fused CPU kernels), "
            "'1' (the device-generic paths on the CPU) or 'scalar' (the fused kernels without "
            "AVX2 / FMA)")
    return _PATHS[value]


halcyra._generic = _paths()
torch.ops.load_library(LIBRARY)

def type_name(obj):
    """The name of obj's type as the interpreter's own messages give it ("list",
    "numpy.float32", "torch._C.Graph"): taken from such a message, since no
    attribute of the type holds it for every kind of type."""
    try:
        operator.index(obj)
    except TypeError as exc:
        text = str(exc)
        if text.startswith("'") and "' object cannot be interpreted as an integer" in text:
            return text[1:text.index("' object cannot")]
    except Exception:  # noqa: BLE001 - an __index__ of its own that fails: the name below
        pass
    return type(obj).__name__


def tensor(obj, fn, arg):
    """obj itself when it is a tensor, else TypeError naming the argument."""
    if not isinstance(obj, torch.Tensor):
        raise TypeError(f"{fn}(): argument '{arg}' must be Tensor, not {type_name(obj)}")
    return obj


def shaped_tensor(obj, fn, arg):
    """As tensor(), after reading obj.shape (AttributeError for objects without one)."""
    if not isinstance(obj, torch.Tensor):
        getattr(obj, "shape")    # AttributeError for objects without one, as obj.shape
    return tensor(obj, fn, arg)


def is_number(obj):
    """bool, int, float or an integer-like object other than a tensor."""
    return isinstance(obj, (bool, int, float)) or (
        not isinstance(obj, torch.Tensor) and hasattr(type(obj), "__index__"))


_INT64 = (-(1 << 63), 1 << 63)


def _int64(v):
    if not _INT64[0] <= v < _INT64[1]:
        raise OverflowError("Python int too large to convert to C long")
    return v


def number(obj):
    """A number as is_number() accepts it, as a plain bool, int or float."""
    if isinstance(obj, bool):
        return bool(obj)
    if isinstance(obj, float):
        # a subclass by its value, as arithmetic takes it
        return obj if type(obj) is float else math.ldexp(obj, 0)
    return _int64(obj if type(obj) is int else operator.index(obj))


def integer(obj, fn, arg):
    """An int: anything with __index__, or a one-element integer tensor."""
    if isinstance(obj, torch.Tensor):
        if obj.numel() == 1 and not obj.is_floating_point() and not obj.is_complex():
            return int(obj.item())
    elif hasattr(type(obj), "__index__"):
        return _int64(operator.index(obj))
    raise TypeError(f"{fn}(): argument '{arg}' must be int, not {type_name(obj)}")


def double(obj, fn, arg):
    """A number as is_number() accepts it, or a one-element tensor's value, as
    a float; TypeError naming the argument for anything else."""
    if is_number(obj):
        return float(number(obj))
    if isinstance(obj, torch.Tensor):
        return float(obj.item())
    raise TypeError(f"{fn}(): argument '{arg}' must be a number, not {type_name(obj)}")


def real(obj):
    """A float as the interpreter's C functions take a double argument (its
    __float__, else its __index__; a float subclass by its value; TypeError
    "must be real number" otherwise), or a one-element tensor's value."""
    if type(obj) in (float, int, bool):
        return float(obj)
    if isinstance(obj, torch.Tensor):
        return float(obj.item())
    return math.ldexp(obj, 0)       # x itself for every double x, converted as such


def level_number(obj, what):
    """make_anchors' sizes and strides: a number as number() takes it, or a
    one-element tensor's value."""
    if type(obj) is float or (type(obj) is int and _INT64[0] <= obj < _INT64[1]):
        return obj                      # the common case, without the checks below
    if is_number(obj):
        return number(obj)
    if isinstance(obj, torch.Tensor):
        return obj.item()
    raise TypeError(f"make_anchors(): {what} must be a number, not {type_name(obj)}")


def compiling():
    """Whether torch.compile or torch.export is tracing the caller (never, on a
    torch without a compiler)."""
    compiler = getattr(torch, "compiler", None)
    return compiler is not None and compiler.is_compiling()


def dynamic_sizes(scalars=False):
    """Whether the compiler now tracing keeps operations whose result sizes are
    data (nonzero) in its graph: torch.export does, and torch.compile where the
    user asks for it; otherwise such an operation is a graph break. With
    scalars: and scalars read from tensors (.item(), .tolist()) too."""
    config = torch._dynamo.config
    return bool(config.capture_dynamic_output_shape_ops
                and (not scalars or config.capture_scalar_outputs))


def untraced(fn):
    """fn as a function torch.compile runs eagerly (torch.compiler.disable), or
    fn itself on a torch without a compiler."""
    disable = getattr(getattr(torch, "compiler", None), "disable", None)
    return fn if disable is None else disable(fn)


try:
    from torch.fx.experimental import symbolic_shapes as _shapes
except ImportError:                 # a torch without symbolic shapes: counts are numbers
    _shapes = None
# A decision on a count the compiler may trace without a value: False there
# (guard_or_false on the newer torches, guard_size_oblivious before it); the
# value itself for a number. The compiler knows both functions by name.
_false_unless_known = (getattr(_shapes, "guard_or_false", None)
                       or getattr(_shapes, "guard_size_oblivious", None))


def check_size(n):
    """Tells the compiler tracing a flow that n, read from a tensor, is a count
    (at least 0): torch._check(n >= 0) on the torches with guard_or_false,
    which deprecate _check_is_size; _check_is_size before them."""
    if getattr(_shapes, "guard_or_false", None) is not None:
        torch._check(n >= 0)
    else:
        torch._check_is_size(n)


def known_empty(n):
    """Whether a count is known to be zero: n == 0 for a number. A count the
    compiler traces without a value (a data-dependent size) is not: the
    caller's flow goes on as for some instances, through operators that give
    the empty selection's results at run time too."""
    if _false_unless_known is None:
        return n == 0
    return _false_unless_known(n == 0)


def at_least_one(n):
    """The divisor of a mean over n instances: n itself eagerly (where the
    caller has some); traced, max(n, 1), so that a mean over no instances
    stays finite, its gradient too."""
    return torch.sym_max(n, 1) if compiling() else n


def number_attr(owner, name):
    """owner.<name> as a number (a one-element tensor by its value); TypeError
    naming the attribute for anything else."""
    value = getattr(owner, name)
    if is_number(value):
        return number(value)
    if isinstance(value, torch.Tensor):
        return value.item()
    raise TypeError(f"'{name}' must be a number, not {type_name(value)}")


def number_or_tensor(obj, fn, arg):
    """(None, a number) or (a tensor, 0): a plain number, a tensor, or anything
    the interpreter converts with float() as a number (not a string);
    TypeError naming the argument for anything else."""
    if is_number(obj):
        return None, number(obj)
    if isinstance(obj, torch.Tensor):
        return obj, 0
    kind = type(obj)
    if hasattr(kind, "__float__") or hasattr(kind, "__index__") or hasattr(kind, "__int__"):
        try:
            return None, float(obj)
        except Exception:  # noqa: BLE001 - refused as below
            pass
    raise TypeError(f"{fn}(): '{arg}' must be a number or a tensor, not {type_name(obj)}")


def _register_fakes():
    """Fake kernels of the library's operators whose result sizes depend on
    values (halcyra::select_candidates, class_nms, and the mask loss's
    mask_selection and mask_instances): new unbacked sizes of the compiler's,
    which only a fake kernel written in Python can make, so that
    torch.compile and torch.export trace through them; and detect's, whose
    rows per image are a minimum of sizes that may be symbolic. The
    other operators' fake kernels are C++. Where torch has neither
    torch.library.register_fake nor impl_abstract (and get_ctx), nothing is
    registered."""
    library = torch.library
    register = getattr(library, "register_fake", None) or getattr(library, "impl_abstract", None)
    get_ctx = getattr(library, "get_ctx", None)
    if register is None or get_ctx is None:
        return

    def check(ok, message):
        torch._check_value(ok, lambda: message)

    @register("halcyra::detect")
    def _detect(logits, boxes, points, strides, offset, conf, pre_nms, iou, max_det):
        check(logits.dim() == 3, "detect(): logits must have shape (B, A, nc) with nc >= 1")
        b, a, _ = logits.shape
        check(boxes.dim() == 3, "detect(): boxes must have shape (B, A, 4)")
        for ok in (boxes.shape[0] == b, boxes.shape[1] == a, boxes.shape[2] == 4):
            check(ok, "detect(): boxes must have shape (B, A, 4)")
        check((points is None) == (strides is None),
              "detect(): points and strides are given together")
        kind = boxes.dtype
        if points is not None:
            kind = torch.promote_types(torch.promote_types(boxes.dtype, points.dtype),
                                       strides.dtype)
        cap = a if pre_nms < 0 else min(a, pre_nms)
        k = min(cap, max_det) if max_det >= 0 else max(0, cap + max_det)
        score = logits.dtype if logits.is_floating_point() else torch.get_default_dtype()
        return (logits.new_empty((b, k), dtype=torch.long),
                logits.new_empty((b, k, 4), dtype=kind),
                logits.new_empty((b, k), dtype=score),
                logits.new_empty((b, k), dtype=torch.long),
                logits.new_empty((b,), dtype=torch.long))

    @register("halcyra::select_candidates")
    def _select_candidates(logits, thr):
        check(logits.dim() == 3, "select_candidates(): logits must have shape (B, A, nc)")
        n = get_ctx().new_dynamic_size()
        score = logits.dtype if logits.is_floating_point() else torch.get_default_dtype()
        index = logits.new_empty((n,), dtype=torch.long)
        return index, torch.empty_like(index), logits.new_empty((n,), dtype=score), \
            torch.empty_like(index)

    @register("halcyra::mask_selection")
    def _mask_selection(fg_b, sel):
        n = get_ctx().new_dynamic_size()
        return fg_b.new_empty((2, n), dtype=torch.long, device="cpu")

    @register("halcyra::mask_instances")
    def _mask_instances(selection, fg_b, fg_a, fg_g, cap, protos):
        n = get_ctx().new_dynamic_size()
        torch._check(n <= selection.shape[1])
        return (fg_b.new_empty((n,), dtype=torch.long), fg_a.new_empty((n,)),
                fg_g.new_empty((n,)), fg_b.new_empty((n,), dtype=torch.long, device="cpu"))

    @register("halcyra::class_nms")
    def _class_nms(boxes, scores, cls, iou):
        message = "class_nms(): boxes (m, 4), scores (m,) and cls (m,) expected"
        check(boxes.dim() == 2 and scores.dim() == 1 and cls.dim() == 1, message)
        m = boxes.shape[0]
        for ok in (boxes.shape[1] == 4, scores.shape[0] == m, cls.shape[0] == m):
            check(ok, message)
        return boxes.new_empty((get_ctx().new_dynamic_size(),), dtype=torch.long)


_register_fakes()
