"""Build of the halcyra extension modules (setuptools + torch.utils.cpp_extension)."""
import glob
import os

from setuptools import setup
from torch.utils.cpp_extension import BuildExtension, CppExtension

HERE = os.path.dirname(os.path.abspath(__file__))
PYAPI = os.path.join(HERE, "csrc", "pyapi", "pyapi.cpp")
CXX_FLAGS = ["-O2", "-g0", "-std=c++17", "-fvisibility=hidden", "-ffp-contract=off",
             "-Wno-deprecated-declarations", "-Wno-unused-parameter"]
# at::parallel_for is a header template: it runs on the intra-op threads (the
# tensor library's OpenMP pool) only where OpenMP is on, else serially.
CXX_FLAGS += ["-fopenmp"]


def pyapi_source(folder):
    """The shared Python-compatibility layer, compiled once per module: each
    module gets its own translation unit (and so its own object file, built
    with that module's flags) that includes the layer's source."""
    path = os.path.join("build", "pyapi", f"{folder}_pyapi.cpp")
    text = f'#include "{PYAPI}"\n'
    if not os.path.exists(path) or open(path).read() != text:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
    return path


def ext(name, folder):
    sources = sorted(glob.glob(os.path.join("csrc", folder, "*.cpp"))) + [pyapi_source(folder)]
    return CppExtension(name, sources, extra_compile_args={"cxx": CXX_FLAGS},
                        extra_link_args=["-fopenmp"])


EXTENSIONS = [ext("halcyra.infer.decode", "decode")]
for name, folder in [("halcyra.infer.predict", "predict"),
                     ("halcyra.models.neck", "neck"),
                     ("halcyra.models.refine", "refine"),
                     ("halcyra.models.backbone", "backbone"),
                     ("halcyra.losses.losses", "losses"),
                     ("halcyra.losses.assigner", "assigner")]:
    if glob.glob(os.path.join(HERE, "csrc", folder, "*.cpp")):
        EXTENSIONS.append(ext(name, folder))

# HALCYRA_ONLY=neck,backbone builds just those modules (by last name component),
# so independent modules can be rebuilt without touching the others.
_only = [n for n in os.environ.get("HALCYRA_ONLY", "").split(",") if n]
if _only:
    EXTENSIONS = [e for e in EXTENSIONS if e.name.rsplit(".", 1)[1] in _only]

setup(
    name="halcyra",
    version="0.1.0",
    description="Numerical core of a multi-task dense object detector (C++ extension modules)",
    packages=["halcyra", "halcyra.infer", "halcyra.models", "halcyra.losses"],
    package_data={"halcyra": ["py.typed", "*.pyi", "*/*.pyi"]},
    ext_modules=EXTENSIONS,
    cmdclass={"build_ext": BuildExtension.with_options(use_ninja=True)},
    python_requires=">=3.10",
    zip_safe=False,
)
