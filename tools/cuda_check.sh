#!/usr/bin/env bash
# The GPU check (make test-cuda): on a machine with a CUDA device and an
# interpreter that has torch, torchvision, pytest, hypothesis and ninja
# installed (no network, no apt: nothing is installed), it
#   1. builds every extension in place, one setup.py per module in parallel,
#      MAX_JOBS = the number of cores each, and reports the build time;
#   2. runs the whole test suite, its CUDA parametrisations included
#      (tests/conftest.py adds "cuda" to DEVICES when a device is visible);
#   3. prints the timing table of bench/cuda_table.py (eager against ours on
#      the GPU).
# Any failure (a module that does not build, a failed or uncollected test, no
# CUDA test run, outputs that disagree in the table) makes the exit status 1.
# The whole log, pytest's JUnit file, the build logs and the table go to the
# output folder.
#
#   tools/cuda_check.sh [--cpu-dry-run] [OUTDIR]       OUTDIR: argument, else $OUT,
#   make test-cuda PYTHON=/path/to/python3 OUT=DIR      else out/cuda-check
#
# PYTHON names the interpreter (default: python3 on PATH); its scripts folder
# is put first on PATH so that a virtual environment's ninja is found.
# TESTS (pytest arguments, default "tests") narrows the suite.
# --cpu-dry-run: no CUDA device needed: the same steps on the CPU, the table
# with tiny inputs and one repetition, so that the script's code runs anywhere.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2

dry=0
out=""
for arg in "$@"; do
  case $arg in
    --cpu-dry-run) dry=1 ;;
    -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
    -*) echo "cuda_check: unknown option $arg (see --help)" >&2; exit 2 ;;
    *) out=$arg ;;
  esac
done
out=${out:-${OUT:-out/cuda-check}}
PYTHON=${PYTHON:-python3}
TESTS=${TESTS:-tests}
mkdir -p "$out" || exit 2
out=$(cd "$out" && pwd)
log=$out/cuda_check.log

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.0f", b - a }'; }

check() {
  local t_all t0 build_s test_s test_rc table_s rc=0 cores mods pids status counts
  t_all=$(now)
  echo "cuda_check: $(date -u '+%Y-%m-%d %H:%M:%S UTC'), output in $out"
  if ! command -v "$PYTHON" >/dev/null; then
    echo "cuda_check: no interpreter $PYTHON (set PYTHON=/path/to/python3)"; return 1
  fi
  PATH="$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))' 2>/dev/null):$PATH"
  export PATH
  # What the interpreter has; a missing module is named before anything is built.
  if ! "$PYTHON" - "$dry" <<'EOF'
import importlib, shutil, sys
missing = []
for name in ("torch", "torchvision", "pytest", "hypothesis", "setuptools"):
    try:
        importlib.import_module(name)
    except Exception as exc:
        missing.append(f"{name} ({type(exc).__name__}: {exc})")
for tool in ("ninja", "g++"):
    if not shutil.which(tool):
        missing.append(f"{tool} (not on PATH)")
print(f"python {sys.version.split()[0]} at {sys.executable}")
if missing:
    print("cuda_check: the interpreter lacks " + "; ".join(missing))
    sys.exit(1)
import torch, torchvision
print(f"torch {torch.__version__} (CUDA {torch.version.cuda}), torchvision {torchvision.__version__}")
if torch.cuda.is_available():
    for i in range(torch.cuda.device_count()):
        print(f"device {i}: {torch.cuda.get_device_name(i)}")
elif sys.argv[1] == "1":
    print("no CUDA device: dry run on the CPU")
else:
    build = f"CUDA {torch.version.cuda}" if torch.version.cuda else "a build without CUDA"
    print(f"cuda_check: no CUDA device is visible to this torch ({build}); this check "
          f"needs one. --cpu-dry-run runs its steps on the CPU.")
    sys.exit(1)
EOF
  then
    return 1
  fi

  # 1. Build: the operator library (its translation units in parallel) and
  # the modules' faces (one small file each).
  cores=$(nproc)
  echo "cuda_check: building the operator library and the modules, MAX_JOBS=$cores"
  t0=$(now)
  MAX_JOBS=$cores HALCYRA_BUILD_LOG="build/build-lib.log" \
    "$PYTHON" setup.py -q build_ext --inplace --build-temp build/temp || {
      cp build/build-lib.log "$out"/ 2>/dev/null
      echo "cuda_check: the build FAILED after $(since "$t0") s (log: $out/build-lib.log)"; return 1; }
  build_s=$(since "$t0")
  cp build/build-lib.log "$out"/ 2>/dev/null
  echo "cuda_check: build ready in $build_s s"

  # 2. The suite. pytest's exit status 5 (nothing collected) is a failure too.
  t0=$(now)
  # shellcheck disable=SC2086
  "$PYTHON" -m pytest -q -p no:cacheprovider -rfEs --junitxml="$out/junit.xml" $TESTS
  test_rc=$?
  test_s=$(since "$t0")
  [ $test_rc = 0 ] || rc=1
  counts=$("$PYTHON" - "$out/junit.xml" "$dry" <<'EOF'
import sys, xml.etree.ElementTree as ET
try:
    cases = list(ET.parse(sys.argv[1]).iter("testcase"))
except (OSError, ET.ParseError) as exc:
    print(f"no JUnit results ({exc})")
    sys.exit(1)
def outcome(c):
    kinds = {child.tag for child in c}
    return ("failed" if kinds & {"failure", "error"} else "skipped" if "skipped" in kinds
            else "passed")
n = {"passed": 0, "failed": 0, "skipped": 0}
cuda = 0
for c in cases:
    o = outcome(c)
    n[o] += 1
    cuda += o == "passed" and "cuda" in c.get("name", "")
print(f"{n['passed']} passed, {n['failed']} failed, {n['skipped']} skipped; "
      f"{cuda} passed with a CUDA parameter")
sys.exit(1 if sys.argv[2] != "1" and cuda == 0 else 0)
EOF
  ) || rc=1
  echo "cuda_check: tests: pytest exit status $test_rc in $test_s s: $counts"

  # 3. The table.
  t0=$(now)
  if [ $dry = 1 ]; then
    "$PYTHON" bench/cuda_table.py --device cpu --tiny --json "$out/table.json" > "$out/table.txt"
  else
    "$PYTHON" bench/cuda_table.py --device cuda --json "$out/table.json" > "$out/table.txt"
  fi
  status=$?
  table_s=$(since "$t0")
  [ $status = 0 ] || rc=1

  echo
  echo "==== summary"
  echo "build: $build_s s (MAX_JOBS=$cores)"
  echo "tests: $counts (pytest exit status $test_rc, $test_s s)"
  echo "table ($table_s s, exit status $status):"
  cat "$out/table.txt"
  echo "total: $(since "$t_all") s"
  if [ $rc = 0 ]; then echo "cuda_check: PASSED"; else echo "cuda_check: FAILED"; fi
  return $rc
}

check 2>&1 | tee "$log"
exit "${PIPESTATUS[0]}"
