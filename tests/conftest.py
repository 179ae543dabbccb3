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
