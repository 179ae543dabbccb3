"""The coverage report (tools/linecov.py), the agreement checks of the GPU
timing table (bench/cuda_table.py) and the GPU check's refusal without a
device (tools/cuda_check.sh)."""
import os
import shutil
import subprocess
import sys

import pytest
import torch

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))

import linecov as cov  # noqa: E402
from bench import cuda_table as CT  # noqa: E402

PROGRAM = {
    "src/twice.h": """template <class T> T twice(T x) {
  if (x > 100)
    return x;
  return x * 2;
}
""",
    "src/main.cpp": """#include "twice.h"
int fa(int v) { return twice(v); }
double fd(double v) { return twice(v); }
int unused(int v) {
  int w = v + 1;

  return w * 3;
}
int main(int argc, char**) {
  if (argc > 5) {
    return 3;
  }
  return fa(argc) + (int)fd(1.0) - 4;
}
""",
    "other.cpp": "int other() { return 1; }\n",
}


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++ and gcov")
def test_coverage_counts_lines_of_the_source_folder_only(tmp_path):
    for name, text in PROGRAM.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    obj = tmp_path / "obj"
    obj.mkdir()
    for src in ("src/main.cpp", "other.cpp"):
        subprocess.run(["g++", "--coverage", "-O0", "-c", str(tmp_path / src), "-o",
                        str(obj / (os.path.basename(src)[:-4] + ".o"))], check=True)
    subprocess.run(["g++", "--coverage", str(obj / "main.o"), "-o", str(tmp_path / "prog")],
                   check=True)
    assert subprocess.run([str(tmp_path / "prog")]).returncode == 0
    counts = cov.collect(str(obj), str(tmp_path / "src"))
    # other.cpp lies outside the source folder; its object never ran (no .gcda).
    assert sorted(counts) == ["src/main.cpp", "src/twice.h"]
    # Both instances of the template ran lines 1, 2 and 4, neither line 3.
    h = counts["src/twice.h"]
    assert h[1] == h[2] == h[4] == 2 and h[3] == 0
    m = counts["src/main.cpp"]
    assert {n for n, c in m.items() if c == 0} == {4, 5, 7, 11}
    assert cov.ranges([n for n, c in m.items() if c == 0], m) == ["4-7", "11"]
    text, detail = cov.table(counts)
    assert "src/main.cpp: 4-7, 11" in detail and "src/twice.h: 3" in detail
    total = text.splitlines()[-1].split()
    executable = len(m) + len(h)
    assert total[:3] == ["total", str(executable), "5"]
    assert total[3] == f"{100 * (executable - 5) / executable:.1f}%"


def test_python_coverage_counts_every_interpreter_of_a_run(tmp_path, monkeypatch):
    """The package's .py lines that ran in any interpreter the run starts are
    counted, those that ran in none are missed; files outside it are not
    reported."""
    pytest.importorskip("coverage")
    pkg = tmp_path / "tree" / "halcyra"
    pkg.mkdir(parents=True)
    (pkg / "__init__.py").write_text("")
    (pkg / "mod.py").write_text("def used():\n    return 1\n\n\ndef unused():\n    return 2\n")
    (tmp_path / "tree" / "other.py").write_text("x = 1\n")
    monkeypatch.setattr(cov, "PYCOV", str(tmp_path / "python"))
    tree = str(tmp_path / "tree")
    env = cov.suite_env(tree, "default")
    child = "import halcyra.mod, other; halcyra.mod.used()"
    parent = f"import subprocess, sys; subprocess.run([sys.executable, '-c', {child!r}], check=True)"
    subprocess.run([sys.executable, "-c", parent], cwd=tree, env=env, check=True, timeout=120)
    counts = cov.collect_python(tree)
    assert sorted(counts) == ["halcyra/__init__.py", "halcyra/mod.py"]
    assert counts["halcyra/mod.py"] == {1: 1, 2: 1, 5: 1, 6: 0}


def test_missed_ranges_join_across_non_executable_lines_only():
    executable = [1, 2, 3, 7, 8, 20, 21, 22]
    assert cov.ranges([2, 3, 7, 21], executable) == ["2-7", "21"]
    assert cov.ranges([1, 22], executable) == ["1", "22"]
    assert cov.ranges(executable, executable) == ["1-22"]
    assert cov.ranges([], executable) == []


def detections(n=5, seed=0):
    g = torch.Generator().manual_seed(seed)
    return [{"boxes": torch.rand(n, 4, generator=g) * 600, "scores": torch.rand(n, generator=g),
             "cls": torch.randint(0, 80, (n,), generator=g),
             "masks": torch.rand(n, 64, 64, generator=g) > 0.5}]


def test_table_flags_postprocess_results_that_disagree():
    want = detections()
    assert CT.detections_differ(detections(), want) is None
    near = detections()
    near[0]["boxes"] = near[0]["boxes"] * (1 + 1e-7)
    assert CT.detections_differ(near, want) is None
    moved = detections()
    moved[0]["boxes"][2, 1] += 0.01
    assert "boxes" in CT.detections_differ(moved, want)
    fewer = [{k: v[:4] for k, v in want[0].items()}]
    assert "4 detections" in CT.detections_differ(fewer, want)
    relabelled = detections()
    relabelled[0]["cls"][0] += 1
    assert "cls" in CT.detections_differ(relabelled, want)
    masks = detections()
    masks[0]["masks"][0, 0, 0] ^= True          # 1 pixel in 20,480: tolerated
    assert CT.detections_differ(masks, want) is None
    masks[0]["masks"][1, :4] ^= True            # 257 pixels: not
    assert "masks" in CT.detections_differ(masks, want)
    assert "keys" in CT.detections_differ([{k: v for k, v in want[0].items() if k != "masks"}],
                                          want)


def test_table_flags_losses_and_gradients_that_disagree():
    stats = {"box": torch.tensor(1.5), "cls": torch.tensor(0.25), "num_pos": 12}
    grads = {"cls_raw": torch.linspace(-1, 1, 50)}
    same = ({k: v for k, v in stats.items()}, {"cls_raw": grads["cls_raw"] * (1 + 1e-6)})
    assert CT.losses_differ(same, (stats, grads)) is None
    off = (dict(stats, box=torch.tensor(1.5 * (1 + 1e-3))), grads)
    assert "stats box" in CT.losses_differ(off, (stats, grads))
    g = grads["cls_raw"].clone()
    g[7] += 0.01
    assert "grad cls_raw" in CT.losses_differ((stats, {"cls_raw": g}), (stats, grads))
    assert "stats" in CT.losses_differ(({"box": stats["box"]}, grads), (stats, grads))


@pytest.mark.skipif(torch.cuda.is_available(), reason="the refusal is for machines without CUDA")
def test_gpu_check_refuses_without_a_device_and_keeps_its_log(tmp_path):
    env = dict(os.environ, PYTHON=sys.executable)
    env.pop("OUT", None)
    proc = subprocess.run([os.path.join(ROOT, "tools", "cuda_check.sh"), str(tmp_path / "o")],
                          env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 1, proc.stdout + proc.stderr
    assert "no CUDA device" in proc.stdout and "--cpu-dry-run" in proc.stdout
    assert "building" not in proc.stdout
    log = (tmp_path / "o" / "cuda_check.log").read_text()
    assert "no CUDA device" in log
