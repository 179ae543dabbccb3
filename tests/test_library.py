"""The operator library (halcyra/lib/libhalcyra.so) needs no interpreter, and the
modules whose face is Python source run that source under its real file name."""
import importlib
import inspect
import linecache
import os
import re
import runpy
import subprocess
import sys
import traceback

import pytest
import torch

from halcyra import _ops

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODULES = ["halcyra.infer.decode", "halcyra.models.backbone", "halcyra.losses.assigner",
           "halcyra.models.refine", "halcyra.infer.predict", "halcyra.losses.losses",
           "halcyra.models.neck"]
PYTHON_SYMBOL = re.compile(r"^(_?Py[A-Z_]|_Py|PyInit_)|pybind11")


def dynamic(path):
    """(NEEDED libraries, undefined symbols, defined symbols) of a shared object."""
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]",
                        subprocess.run(["readelf", "-d", path], capture_output=True, text=True,
                                       check=True).stdout)
    syms = subprocess.run(["nm", "-D", "-C", path], capture_output=True, text=True,
                          check=True).stdout.splitlines()
    undefined = [ln.split()[-1] for ln in syms if ln.split()[0] in ("U", "w")]
    defined = [ln.split(None, 2)[2] for ln in syms if len(ln.split()) >= 3]
    return needed, undefined, defined


def test_library_links_no_interpreter():
    needed, undefined, defined = dynamic(_ops.LIBRARY)
    assert not [n for n in needed if "python" in n], needed
    assert not [s for s in undefined + defined if PYTHON_SYMBOL.search(s)]
    assert any(n.startswith("libtorch_cpu") for n in needed)


def test_every_extension_module_is_a_python_face():
    """The package's only compiled files are the library and the modules
    above (a module built another way would escape the checks here)."""
    package = os.path.join(ROOT, "halcyra")
    found = sorted(os.path.relpath(os.path.join(d, f), ROOT) for d, _, fs in os.walk(package)
                   for f in fs if f.endswith(".so"))
    want = sorted([os.path.relpath(_ops.LIBRARY, ROOT)] + [
        os.path.relpath(importlib.import_module(m).__file__, ROOT) for m in MODULES])
    assert found == want


def test_library_loads_without_torchs_python_layer():
    """A fresh interpreter loads libtorch's C++ libraries and the operator library
    without importing torch: nothing in it asks for the Python bindings."""
    torch_lib = os.path.dirname(torch.__file__) + "/lib"
    code = (f"import ctypes, os\n"
            f"for n in ('libc10.so', 'libtorch_cpu.so'):\n"
            f"    ctypes.CDLL(os.path.join({torch_lib!r}, n), mode=ctypes.RTLD_GLOBAL)\n"
            f"ctypes.CDLL({_ops.LIBRARY!r})\n"
            f"import sys; assert 'torch' not in sys.modules\n")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr


@pytest.mark.parametrize("name", MODULES)
def test_module_is_an_extension_that_runs_its_python_source(name):
    mod = importlib.import_module(name)
    assert mod.__file__.endswith(".so")
    source = os.path.join(ROOT, *name.split(".")) + ".py"
    needed, undefined, _ = dynamic(mod.__file__)
    assert not [n for n in needed if "torch" in n or "c10" in n], needed
    # the names and the docstring that running the file itself gives (and
    # any the compiler has since added to the module for its compiled frames,
    # which the source does not name)
    ran = runpy.run_path(source)
    text = open(source).read()
    names = {k for k in vars(mod) if not k.startswith("__")}
    assert {k for k in ran if not k.startswith("__")} <= names
    assert all(k.startswith("_") and k not in text for k in names - set(ran)), names - set(ran)
    assert mod.__doc__ == ran["__doc__"]
    functions = [v for k, v in vars(mod).items()
                 if k in ran and inspect.isfunction(v) and v.__module__ == name]
    functions += [f for c in vars(mod).values() if isinstance(c, type) and c.__module__ == name
                  for f in vars(c).values() if inspect.isfunction(f)]
    for f in map(inspect.unwrap, functions):   # (torch.compiler.disable's wrappers)
        assert f.__code__.co_filename == source
        assert inspect.getsource(f) in open(source).read()
        first = f.__code__.co_firstlineno
        assert linecache.getline(source, first).lstrip().startswith("def " + f.__name__)


def test_tracebacks_show_the_python_lines():
    from halcyra.infer import decode as D
    with pytest.raises(ValueError) as info:
        D.flatten_preds(torch.zeros(2, 3))
    frame = traceback.extract_tb(info.tb)[-1]
    assert frame.filename.endswith(os.path.join("halcyra", "infer", "decode.py"))
    assert frame.name == "flatten_preds" and frame.line == "b, c, h, w = x.shape"
