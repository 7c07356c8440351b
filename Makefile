# korvane: build, test, demo and benchmarks. Everything comes from Debian packages.
PYTHON ?= $(shell for p in /usr/bin/python3 python3; do $$p -c 'import torch' >/dev/null 2>&1 && { command -v $$p; break; }; done)
BUILD  ?= build
JOBS   ?= $(shell nproc)
CMAKE_FLAGS ?=
# Warnings as errors in our own code (KORVANE_WERROR): make test sets it ON; make build
# keeps whatever the build tree has (OFF in a fresh one). Pass WERROR=ON or OFF to choose.
WERROR ?=

DEBIAN_PACKAGES = cmake ninja-build g++ pkg-config python3 python3-dev \
  python3-torch libtorch-dev python3-numpy pybind11-dev \
  libcurl4-openssl-dev nlohmann-json3-dev libcli11-dev \
  googletest libgtest-dev libbenchmark-dev python3-pytest python3-aiohttp \
  python3-matplotlib libopenblas0-pthread \
  ccache python3-setuptools python3-wheel python3-venv python3-pip mypy \
  libboost1.81-dev python3-prometheus-client python3-tqdm chromium libssl-dev

export PYTHONPATH := $(CURDIR)$(if $(PYTHONPATH),:$(PYTHONPATH))
# Compiles go through ccache with paths relative to the build tree, so the pip build of
# the test suite (setup.py, from a copy elsewhere) reuses them.
CCACHE := $(shell command -v ccache 2>/dev/null)
export CCACHE_BASEDIR := $(CURDIR)

.PHONY: deps build data check-blas test test-cpp test-python demo bench fuzz fuzz-build gpu-deps screenshot clean

# The handwritten digits (1,797 8x8 images) that python3-sklearn ships. That package
# cannot be installed beside libboost1.81-dev, so only this one file is taken out of it.
DIGITS = $(BUILD)/data/digits.csv.gz
DIGITS_IN_DEB = ./usr/lib/python3/dist-packages/sklearn/datasets/data/digits.csv.gz

deps:
	@missing=$$(for p in $(DEBIAN_PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -q && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -q --no-install-recommends $$missing; \
	fi

$(BUILD)/build.ninja: CMakeLists.txt
	@test -n "$(PYTHON)" || { echo "no python3 with torch found: run 'make deps' or pass PYTHON=..."; exit 1; }
	cmake -S . -B $(BUILD) -G Ninja -DPython3_EXECUTABLE=$(PYTHON) \
	  $(if $(CCACHE),-DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE) -DCMAKE_C_COMPILER_LAUNCHER=$(CCACHE)) \
	  $(if $(WERROR),-DKORVANE_WERROR=$(WERROR)) $(CMAKE_FLAGS)

build: deps
	@$(MAKE) --no-print-directory $(BUILD)/build.ninja PYTHON="$(PYTHON)" WERROR="$(WERROR)"
	$(if $(WERROR),@grep -qx 'KORVANE_WERROR:BOOL=$(WERROR)' $(BUILD)/CMakeCache.txt || cmake $(BUILD) -DKORVANE_WERROR=$(WERROR))
	cmake --build $(BUILD) -j $(JOBS)

$(DIGITS):
	@mkdir -p $(BUILD)/data/deb
	cd $(BUILD)/data/deb && rm -f python3-sklearn_*.deb && \
	  { apt-get download python3-sklearn 2>/dev/null || \
	    { $$( [ "$$(id -u)" = 0 ] || echo sudo ) apt-get update -q && apt-get download python3-sklearn; }; }
	dpkg-deb --fsys-tarfile $(BUILD)/data/deb/python3-sklearn_*.deb | tar -xO $(DIGITS_IN_DEB) > $(DIGITS).part
	gzip -t $(DIGITS).part && mv $(DIGITS).part $(DIGITS) && rm -rf $(BUILD)/data/deb

data: $(DIGITS)

# Debian's torch runs the reference BLAS (about 50x slower) unless an optimised one is
# installed and chosen: stop loudly rather than test and measure on it.
check-blas:
	$(PYTHON) tools/blas/check_blas.py

test: WERROR = ON
test: build data check-blas
	cd $(BUILD) && ctest --output-on-failure
	KORVANE_WERROR=ON $(PYTHON) -m pytest -q tests/python

demo: build data
	$(PYTHON) tools/demo/run_demo.py

bench: build data check-blas
	$(PYTHON) bench/run_all.py

# Fuzzing, apart from the tests: the libFuzzer targets over the coordinator's request
# handling and the byte parsers of the compressed tensor and the boundary message (clang,
# ASan and UBSan, in a build tree of their own), then the structured fuzzer against the
# coordinator program of that tree.
# Each runs FUZZ_SECONDS; new inputs go to $(FUZZ_BUILD)/corpus, crashes to $(FUZZ_BUILD)/crashes.
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 300
FUZZ_SEED    ?= 1
FUZZ_CC      ?= clang-14
FUZZ_CXX     ?= clang++-14
fuzz-build: deps
	@test -f $(FUZZ_BUILD)/build.ninja || cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_C_COMPILER=$(FUZZ_CC) -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) \
	  $(if $(CCACHE),-DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE) -DCMAKE_C_COMPILER_LAUNCHER=$(CCACHE)) \
	  -DKORVANE_FUZZ=ON -DKORVANE_PYTHON=OFF -DKORVANE_TESTS=OFF -DKORVANE_SANITIZE=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target korvane_coordinator_fuzz korvane_compressed_tensor_fuzz korvane_boundary_message_fuzz korvane-coordinator

fuzz: fuzz-build
	@for t in coordinator compressed_tensor boundary_message; do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/crashes/$$t; \
	  echo "== libFuzzer: $$t, $(FUZZ_SECONDS) s"; \
	  $(FUZZ_BUILD)/fuzz/korvane_$${t}_fuzz -max_total_time=$(FUZZ_SECONDS) -seed=$(FUZZ_SEED) -print_final_stats=1 -close_fd_mask=1 \
	    -timeout=30 -rss_limit_mb=4096 -artifact_prefix=$(FUZZ_BUILD)/crashes/$$t/ \
	    $$(test -f tests/fuzz/$$t.dict && echo -dict=tests/fuzz/$$t.dict) \
	    $(FUZZ_BUILD)/corpus/$$t tests/fuzz/corpus/$$t || exit 1; \
	done
	$(PYTHON) tools/fuzz_coordinator.py --coordinator $(FUZZ_BUILD)/bin/korvane-coordinator \
	  --seconds $(FUZZ_SECONDS) --seed $(FUZZ_SEED)

# What bench/gpu_check.sh needs to build the trainer on a GPU machine that reaches no
# package registry: the header-only libraries with their CMake files and the libcurl
# headers, gathered from Debian's packages into one folder to carry along.
GPU_DEPS ?= .gpu-deps
gpu-deps: deps
	rm -rf $(GPU_DEPS) && mkdir -p $(GPU_DEPS)/include $(GPU_DEPS)/share/cmake
	cp -r /usr/include/nlohmann /usr/include/CLI $(GPU_DEPS)/include/
	cp -r /usr/share/cmake/nlohmann_json /usr/share/cmake/CLI11 $(GPU_DEPS)/share/cmake/
	cp -r "$$(dirname "$$(dpkg -L libcurl4-openssl-dev | grep '/curl/curl\.h$$')")" $(GPU_DEPS)/include/
	dpkg-query -W nlohmann-json3-dev libcli11-dev libcurl4-openssl-dev > $(GPU_DEPS)/VERSIONS
	@echo "gathered into $(GPU_DEPS)/ ($$(du -sh $(GPU_DEPS) | cut -f1)): carry it to the GPU machine"

# The coordinator's live page as the browser test last rendered it, for the README.
screenshot:
	@test -f $(BUILD)/live_page.png || { echo "no $(BUILD)/live_page.png: run 'make test' (the browser test writes it)"; exit 1; }
	mkdir -p docs
	cp $(BUILD)/live_page.png docs/live_page.png

clean:
	rm -rf $(BUILD) build-pip korvane/bin
	find korvane -name '*.so' -delete
