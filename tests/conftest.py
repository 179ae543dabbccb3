import os
import sys

import pytest
import torch

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

from halcyra import _torchcheck  # noqa: E402

DEVICES = ["cpu"] + (["cuda"] if torch.cuda.is_available() else [])


@pytest.fixture(params=DEVICES)
def device(request):
    return request.param

@pytest.fixture(params=["eager", "compiled"])
def run(request):
    """Calls a function as given, or inside a function compiled with the
    autograd-tracing backend: whole (one graph, where every entry the method
    reads is a tensor) or, with whole=False, as the compiler splits it."""
    if request.param == "eager":
        return lambda f, *a, whole=True: f(*a)
    if not hasattr(torch, "compile"):
        pytest.skip("this torch has no torch.compile")
    import torch._dynamo as dynamo
    dynamo.reset()
    return lambda f, *a, whole=True: torch.compile(f, backend="aot_eager", fullgraph=whole)(*a)



def torch_check_lines():
    """What the run says of the running torch's convolutions, checked once per
    run: where they are wrong, the tests that compare results of torch's own
    kernels (across the kernels' code paths, compiled against eager) run with
    oneDNN off."""
    verdict = _torchcheck.check()
    lines = ["halcyra: " + verdict.message]
    if not verdict.sound:
        lines.append("halcyra: tests comparing torch's own kernels run with oneDNN off "
                     "(halcyra's tolerances unchanged)")
    return lines


def pytest_report_header(config):
    return torch_check_lines() if _torchcheck.check().sound else []


def pytest_sessionstart(session):
    """A faulty torch is said even under -q, which hides the header."""
    if not _torchcheck.check().sound:
        reporter = session.config.pluginmanager.get_plugin("terminalreporter")
        for line in torch_check_lines():
            reporter.write_line(line)


@pytest.fixture
def sound_convolutions():
    """The test body with torch's convolutions as they are where the run's
    check found them sound, else with oneDNN off."""
    with _torchcheck.sound_convolutions():
        yield


# The property suite runs in a child interpreter (tests/test_reliability.py) so
# that a crash is reported as a failure instead of ending the whole run.
collect_ignore = ["reliability"]


def run_checked(cmd, cwd=None, env=None):
    """A command's completed process; AssertionError with its output when it
    fails."""
    import subprocess
    r = subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True)
    if r.returncode != 0:
        raise AssertionError(f"{' '.join(map(str, cmd))} failed ({r.returncode}):\n"
                             f"{r.stdout}\n{r.stderr}")
    return r


def _torch_config():
    """Where libtorch's CMake package is (Debian's libtorch-dev), or None."""
    import glob
    hits = glob.glob("/usr/lib/*/cmake/Torch/TorchConfig.cmake")
    hits += glob.glob(os.path.join(getattr(torch.utils, "cmake_prefix_path", "/nonexistent"),
                                   "Torch", "TorchConfig.cmake"))
    return hits[0] if hits else None


# The C++ programs the tests build, kept between runs so that later runs
# (make test-generic after make test, say) build only what changed.
CPP_TESTS = os.path.join(ROOT, "build", "cpp", "pytest")


@pytest.fixture(scope="session")
def cpp_package():
    """The prefix of halcyra's CMake package (CMakeLists.txt), installed once
    per run under build/cpp/pytest with the library the Python face loads
    (files that did not change are left as they are)."""
    import pathlib
    import shutil
    from halcyra import _ops
    if shutil.which("cmake") is None:
        pytest.skip("cmake is not installed (tools/deps.sh build installs it)")
    if _torch_config() is None:
        pytest.skip("libtorch's CMake package (libtorch-dev) is not installed")
    prefix, pkg = pathlib.Path(CPP_TESTS) / "prefix", pathlib.Path(CPP_TESTS) / "package"
    run_checked(["cmake", "-S", ROOT, "-B", str(pkg), f"-DHALCYRA_LIBRARY={_ops.LIBRARY}",
                 f"-DCMAKE_INSTALL_PREFIX={prefix}"])
    run_checked(["cmake", "--build", str(pkg)])
    run_checked(["cmake", "--install", str(pkg)])
    return prefix


def cpp_program(source, prefix):
    """The build folder of the CMake project in `source` (relative to the
    repository), built through the package at `prefix` under build/cpp/pytest."""
    import pathlib
    build = pathlib.Path(CPP_TESTS) / source.replace("/", "-")
    run_checked(["cmake", "-S", os.path.join(ROOT, source), "-B", str(build),
                 f"-DCMAKE_PREFIX_PATH={prefix}", "-DCMAKE_BUILD_TYPE=Release"])
    run_checked(["cmake", "--build", str(build), "-j", os.environ.get("MAX_JOBS", "2")])
    return build
