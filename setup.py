"""Build of the halcyra extension modules (setuptools + torch.utils.cpp_extension).

The build is quiet: one line per module on the terminal, the compiler's whole
output in build/build.log (HALCYRA_VERBOSE=1 shows it on the terminal instead).
"""
import glob
import os
import re
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
LOG = os.environ.get("HALCYRA_BUILD_LOG", os.path.join("build", "build.log"))
VERBOSE = os.environ.get("HALCYRA_VERBOSE", "") not in ("", "0")


def _quiet():
    """Sends this process's stdout and stderr (and so ninja's and the
    compiler's) to the build log; returns a stream to the terminal."""
    if VERBOSE:
        return sys.stdout
    os.makedirs(os.path.join(HERE, "build"), exist_ok=True)
    sys.stdout.flush()
    sys.stderr.flush()
    term = os.fdopen(os.dup(1), "w", buffering=1)
    log = os.open(os.path.join(HERE, LOG), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    os.dup2(log, 1)
    os.dup2(log, 2)
    os.close(log)
    return term


TERM = _quiet()

from setuptools import setup  # noqa: E402
from torch.utils.cpp_extension import BuildExtension, CppExtension, include_paths  # noqa: E402

PYAPI = os.path.join(HERE, "csrc", "pyapi", "pyapi.cpp")
# The tensor library's headers are system headers to us: their own warnings
# (g++ 14 finds some in torch 2.6) are not ours to fix.
CXX_FLAGS = ["-O2", "-g0", "-std=c++20", "-fvisibility=hidden", "-ffp-contract=off",
             "-Wno-deprecated-declarations", "-Wno-unused-parameter"]
for _inc in include_paths():
    CXX_FLAGS += ["-isystem", _inc]
# HALCYRA_SANITIZE=address,undefined: a sanitizer build (tools/asan.py). -fno-wrapv
# and -fno-wrapv-pointer undo the interpreter's -fwrapv (or -fno-strict-overflow),
# which would hide signed and pointer overflow from UBSan.
SANITIZE = os.environ.get("HALCYRA_SANITIZE", "")
if SANITIZE:
    CXX_FLAGS += [f"-fsanitize={SANITIZE}", "-fno-omit-frame-pointer", "-fno-wrapv",
                  "-fno-wrapv-pointer", "-O1", "-g1"]
LINK_FLAGS = [f"-fsanitize={SANITIZE}"] if SANITIZE else []
# HALCYRA_COVERAGE=1: a line-coverage build (tools/linecov.py): gcov's
# counters in every object, unoptimised so that lines map one to one.
if os.environ.get("HALCYRA_COVERAGE", "") not in ("", "0"):
    CXX_FLAGS += ["--coverage", "-O0"]
    LINK_FLAGS += ["--coverage"]
# at::parallel_for is a header template: it runs on the intra-op threads (the
# tensor library's OpenMP pool) only where OpenMP is on, else serially.
CXX_FLAGS += ["-fopenmp"]
LINK_FLAGS += ["-fopenmp"]


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
                        extra_link_args=LINK_FLAGS)


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


class Build(BuildExtension):
    """One line per module on the terminal; on a failure, the compiler's
    error lines and the path of the whole log."""

    def build_extension(self, extension):
        # Each module in a folder of its own under the build folder: its own
        # ninja file and objects, whichever modules a build includes.
        base = self.build_temp
        self.build_temp = os.path.join(base, extension.name.rsplit(".", 1)[1])
        try:
            self._build_one(extension)
        finally:
            self.build_temp = base

    def _build_one(self, extension):
        start_at = os.lseek(1, 0, os.SEEK_CUR) if not VERBOSE else 0
        t0 = time.time()
        try:
            super().build_extension(extension)
        except BaseException:
            sys.stdout.flush()
            TERM.write(f"[halcyra] {extension.name}: FAILED (whole output: {LOG})\n")
            if not VERBOSE:
                with open(os.path.join(HERE, LOG), errors="replace") as f:
                    f.seek(start_at)
                    lines = [ln for ln in f if "error" in ln.lower() and " -c " not in ln]
                for ln in lines[:30]:
                    TERM.write("    " + ln)
            raise
        done = f"built in {time.time() - t0:.0f} s"
        if not VERBOSE:
            sys.stdout.flush()
            with open(os.path.join(HERE, LOG), errors="replace") as f:
                f.seek(start_at)
                compiled = sum(1 for ln in f if re.match(r"\[\d+/\d+\] ", ln))
            done = (f"compiled {compiled} file{'s' * (compiled != 1)} in {time.time() - t0:.0f} s"
                    if compiled else "up to date")
        TERM.write(f"[halcyra] {extension.name}: {done}\n")


setup(
    name="halcyra",
    version="0.1.0",
    description="Numerical core of a multi-task dense object detector (C++ extension modules)",
    packages=["halcyra", "halcyra.infer", "halcyra.models", "halcyra.losses"],
    package_data={"halcyra": ["py.typed", "*.pyi", "*/*.pyi"]},
    ext_modules=EXTENSIONS,
    cmdclass={"build_ext": Build.with_options(use_ninja=True)},
    python_requires=">=3.10",
    zip_safe=False,
)
