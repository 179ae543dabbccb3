# halcyra: build, test, demo, benchmarks.
#   make test    install missing Debian packages, build in place, run the tests
#   make demo    install, build, then train and evaluate the end-to-end example
#   make bench   benchmarks against the plain eager-PyTorch formulations
#   make wheel   build a wheel into dist/
#   make test-debian13   the same tests in a Debian 13 root (torch 2.6, Python 3.13), made once
#                        with debootstrap under /var/cache/halcyra and reused
#   make test-generic    the tests through the device-generic paths on the CPU (HALCYRA_GENERIC=1)
#   make test-scalar     the tests with the fused kernels' portable loops (HALCYRA_GENERIC=scalar)
#   make coverage        line coverage of csrc/ and halcyra/*.py by the suite (build/coverage/report.txt)
#   make test-cuda       the GPU check on a CUDA machine (tools/cuda_check.sh)
#   make test-debian-testing   the same in a root of Debian testing (the newest torch), remade
#                        when testing moves on to its next codename
#   make test-cpp        the C++ API's GoogleTest tests (tests/cpp) through the CMake package
#   make deploy          the demo's trained model exported and run by a C++ program
#                        (examples/deploy), its detections compared with Python's
# PYTHON names the interpreter that has torch (Debian's by default).
PYTHON ?= /usr/bin/python3
# Build only some modules: make build ONLY=neck,backbone
ONLY ?=
# What make test runs (pytest arguments): make test TESTS="tests/test_decode.py -x"
TESTS ?= tests
.PHONY: deps build test test-deep test-debian13 test-debian-testing demo bench wheel clean

# The Debian packages the build, the tests and the demo need (tools/deps.sh
# holds the list; it installs only what is missing and waits for apt's lock).
deps:
	@tools/deps.sh build

build: deps
	@HALCYRA_ONLY=$(ONLY) MAX_JOBS=$${MAX_JOBS:-2} $(PYTHON) setup.py -q build_ext --inplace --build-temp build/temp

test: build
	$(PYTHON) -m pytest -q $(TESTS)

# The same build and tests with the kernels' other code paths (README, "Debugging").
.PHONY: test-generic test-scalar
test-generic: build
	HALCYRA_GENERIC=1 $(PYTHON) -m pytest -q $(TESTS)

test-scalar: build
	HALCYRA_GENERIC=scalar $(PYTHON) -m pytest -q $(TESTS)

test-debian13:
	tools/debian_root.sh trixie test test-cpp

test-debian-testing:
	tools/debian_root.sh testing test test-cpp

# The C++ API's tests: the CMake package (CMakeLists.txt) installed, with the
# library that `make build` built, into a prefix under CPP_BUILD that is made
# afresh on every run; tests/cpp configured against it (find_package(halcyra)),
# built and run by ctest.
CPP_BUILD ?= build/cpp
CPP_PREFIX = $(CURDIR)/$(CPP_BUILD)/prefix
.PHONY: install-cpp test-cpp deploy
install-cpp: build
	@rm -rf $(CPP_PREFIX)
	@{ cmake -S . -B $(CPP_BUILD)/package -DHALCYRA_LIBRARY=$(CURDIR)/halcyra/lib/libhalcyra.so \
	     -DCMAKE_INSTALL_PREFIX=$(CPP_PREFIX) \
	   && cmake --build $(CPP_BUILD)/package && cmake --install $(CPP_BUILD)/package; \
	 } > $(CPP_BUILD).log 2>&1 || { cat $(CPP_BUILD).log; exit 1; }

test-cpp: install-cpp
	@cmake -S tests/cpp -B $(CPP_BUILD)/tests -DCMAKE_PREFIX_PATH=$(CPP_PREFIX) \
	  > $(CPP_BUILD)/tests.log 2>&1 || { cat $(CPP_BUILD)/tests.log; exit 1; }
	cmake --build $(CPP_BUILD)/tests -j $${MAX_JOBS:-2}
	cd $(CPP_BUILD)/tests && ctest --output-on-failure

# The deployment example (examples/deploy): the demo's trained model (the demo
# runs first when $(DEMO_OUT)/model.pt is missing) exported, a C++ program
# built against libtorch and the installed package, run on the validation
# images, and its detections compared with Python's.
DEMO_OUT ?= out/demo
DEPLOY_OUT ?= out/deploy
deploy: install-cpp
	@test -f $(DEMO_OUT)/model.pt || $(PYTHON) examples/demo.py --out $(DEMO_OUT)
	$(PYTHON) examples/deploy/export.py --model $(DEMO_OUT)/model.pt --out $(DEPLOY_OUT)
	@cmake -S examples/deploy -B $(CPP_BUILD)/deploy -DCMAKE_PREFIX_PATH=$(CPP_PREFIX) \
	  > $(CPP_BUILD)/deploy.log 2>&1 || { cat $(CPP_BUILD)/deploy.log; exit 1; }
	cmake --build $(CPP_BUILD)/deploy -j $${MAX_JOBS:-2}
	@mkdir -p $(DEPLOY_OUT)/cpp
	$(CPP_BUILD)/deploy/halcyra_deploy $(DEPLOY_OUT) $(DEPLOY_OUT)/cpp
	$(PYTHON) examples/deploy/compare.py $(DEPLOY_OUT) $(DEPLOY_OUT)/cpp

test-deep: build
	HALCYRA_PROFILE=deep HALCYRA_LEAK_CALLS=20000 $(PYTHON) -m pytest -q tests/reliability

# Sanitizer build (ASan + UBSan) in build/asan and the tests under it; the
# in-place build stays untouched. test-asan-ci: the kernels' tests only.
.PHONY: test-asan test-asan-ci
test-asan: deps
	$(PYTHON) tools/asan.py full

test-asan-ci: deps
	$(PYTHON) tools/asan.py ci

# Line coverage of csrc/ and of the modules' Python faces: a --coverage -O0
# build in build/coverage, the suite in the three HALCYRA_GENERIC modes under
# Python's coverage tool, gcov; report in build/coverage/report.txt.
.PHONY: coverage
coverage:
	@tools/deps.sh build coverage
	$(PYTHON) tools/linecov.py

# The GPU check on a CUDA machine (no apt, no network: no deps step):
#   make test-cuda PYTHON=/path/to/python3 OUT=dir
# CUDA_CHECK_FLAGS=--cpu-dry-run exercises it on the CPU.
OUT ?= out/cuda-check
.PHONY: test-cuda
test-cuda:
	PYTHON=$(PYTHON) tools/cuda_check.sh $(CUDA_CHECK_FLAGS) $(OUT)

demo: build
	$(PYTHON) examples/demo.py

bench: build
	$(PYTHON) bench/run_all.py

wheel: deps
	$(PYTHON) setup.py -q bdist_wheel

clean:
	rm -rf build dist *.egg-info
	find halcyra -name '*.so' -delete
