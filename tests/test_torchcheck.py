"""The check of torch's convolutions (halcyra._torchcheck) and what the tests and the
demo do with its verdict. The fault it looks for shows on few machines, so the
verdict is forced here (HALCYRA_TORCH_CHECK, or a convolution that computes wrong)."""
import json
import os
import subprocess
import sys

import pytest
import torch

from halcyra import _torchcheck as C

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.fixture
def forced(monkeypatch):
    """Sets HALCYRA_TORCH_CHECK for check(), whose verdict is cached per process."""
    def force(value):
        monkeypatch.setenv(C.FORCE_VARIABLE, value)
        C.check.cache_clear()
        return C.check()
    yield force
    monkeypatch.delenv(C.FORCE_VARIABLE, raising=False)
    C.check.cache_clear()


def wrong_conv(fault):
    """_conv with float32 results spoilt as `fault` says, float64 ones left alone."""
    def conv(x, w, dy, memory_format):
        out = REAL_CONV(x, w, dy, memory_format)
        if x.dtype == torch.float32 and fault(memory_format):
            out["weight gradient"] = out["weight gradient"].clone()
            out["weight gradient"][0, 0, 0, 0] = fault(memory_format)
        return out
    return conv


REAL_CONV = C._conv


@pytest.mark.parametrize("fault,detail", [
    (lambda fmt: float("nan"), "weight gradient at 1 thread(s) not finite"),
    (lambda fmt: 40.0, "weight gradient at 1 thread(s) off by"),
    # one memory format only (the compiler picks channels-last where eager does not)
    (lambda fmt: 40.0 if fmt == torch.channels_last else None, "weight gradient at 1 thread(s) off by"),
])
def test_probe_finds_wrong_results(monkeypatch, fault, detail):
    threads = torch.get_num_threads()
    monkeypatch.setattr(C, "_conv", wrong_conv(fault))
    v = C.probe()
    assert not v.sound and detail in v.detail and "forward" not in v.detail
    assert v.threads == (1, max(2, threads)) and torch.get_num_threads() == threads
    assert f"torch {torch.__version__}" in v.message and "mkldnn.enabled = False" in v.message


def test_probe_of_this_torch_agrees_with_float64_where_onednn_is_off():
    with C.workaround():
        assert C.probe().sound


def test_forced_verdicts_and_the_workaround(forced):
    assert forced("sound").sound
    assert not forced("faulty").sound and "forced by HALCYRA_TORCH_CHECK" in C.check().message
    before = torch.backends.mkldnn.enabled
    with C.sound_convolutions():
        assert torch.backends.mkldnn.enabled is False
    assert torch.backends.mkldnn.enabled == before
    forced("sound")
    with C.sound_convolutions():
        assert torch.backends.mkldnn.enabled == before
    with pytest.raises(ValueError, match="HALCYRA_TORCH_CHECK='maybe'"):
        forced("maybe")


@pytest.mark.parametrize("verdict", ["faulty", "sound"])
def test_the_test_run_says_so(verdict):
    env = dict(os.environ, HALCYRA_TORCH_CHECK=verdict)
    r = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                        "tests/test_torchcheck.py::test_forced_verdicts_and_the_workaround"],
                       cwd=REPO, env=env, capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stdout[-2000:] + r.stderr[-2000:]
    said = "tests comparing torch's own kernels run with oneDNN off" in r.stdout
    assert said == (verdict == "faulty") and ("WARNING: torch" in r.stdout) == said


@pytest.mark.parametrize("verdict", ["faulty", "sound"])
def test_the_demo_says_so_and_trains_with_onednn_off(tmp_path, verdict):
    pytest.importorskip("halcyra.losses.losses")
    env = dict(os.environ, HALCYRA_TORCH_CHECK=verdict)
    r = subprocess.run([sys.executable, os.path.join(REPO, "examples", "demo.py"), "--steps", "1",
                        "--batch", "2", "--size", "64", "--no-eval", "--quiet", "--device", "cpu",
                        "--out", str(tmp_path)], cwd=REPO, env=env, capture_output=True, text=True,
                       timeout=300)
    assert r.returncode == 0, r.stdout[-2000:] + r.stderr[-2000:]
    res = json.loads((tmp_path / "metrics.json").read_text())
    assert res["torch_convolutions_sound"] is (verdict == "sound")
    if verdict == "faulty":
        assert "WARNING: torch" in r.stdout and "trains with oneDNN off" in r.stdout
        assert res["onednn_in_training"] is False
    else:
        assert "WARNING" not in r.stdout
        assert res["onednn_in_training"] is True
