# korvane: build, test, demo and benchmarks. Everything comes from Debian packages.
PYTHON ?= $(shell for p in /usr/bin/python3 python3; do $$p -c 'import torch' >/dev/null 2>&1 && { command -v $$p; break; }; done)
BUILD  ?= build
JOBS   ?= $(shell nproc)
CMAKE_FLAGS ?=

DEBIAN_PACKAGES = cmake ninja-build g++ pkg-config python3 python3-dev \
  python3-torch libtorch-dev python3-numpy pybind11-dev \
  libcurl4-openssl-dev nlohmann-json3-dev libcli11-dev \
  googletest libgtest-dev libbenchmark-dev python3-pytest python3-aiohttp \
  libopenblas0-pthread

export PYTHONPATH := $(CURDIR)$(if $(PYTHONPATH),:$(PYTHONPATH))

.PHONY: deps build check-blas test test-cpp test-python demo bench gpu-deps clean

deps:
	@missing=$$(for p in $(DEBIAN_PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -q && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -q --no-install-recommends $$missing; \
	fi

$(BUILD)/build.ninja: CMakeLists.txt
	@test -n "$(PYTHON)" || { echo "no python3 with torch found: run 'make deps' or pass PYTHON=..."; exit 1; }
	cmake -S . -B $(BUILD) -G Ninja -DPython3_EXECUTABLE=$(PYTHON) $(CMAKE_FLAGS)

build: deps
	@$(MAKE) --no-print-directory $(BUILD)/build.ninja PYTHON="$(PYTHON)"
	cmake --build $(BUILD) -j $(JOBS)

# Debian's torch runs the reference BLAS (about 50x slower) unless an optimised one is
# installed and chosen: stop loudly rather than test and measure on it.
check-blas:
	$(PYTHON) tools/blas/check_blas.py

test: build check-blas
	cd $(BUILD) && ctest --output-on-failure
	$(PYTHON) -m pytest -q tests/python

demo: build
	$(PYTHON) tools/demo/run_demo.py

bench: build check-blas
	$(PYTHON) bench/run_all.py

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

clean:
	rm -rf $(BUILD)
	find korvane -name '*.so' -delete
