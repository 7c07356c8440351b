# korvane: build, test, demo and benchmarks. Everything comes from Debian packages.
PYTHON ?= $(shell for p in /usr/bin/python3 python3; do $$p -c 'import torch' >/dev/null 2>&1 && { command -v $$p; break; }; done)
BUILD  ?= build
JOBS   ?= $(shell nproc)
CMAKE_FLAGS ?=

DEBIAN_PACKAGES = cmake ninja-build g++ pkg-config python3 python3-dev \
  python3-torch libtorch-dev python3-numpy pybind11-dev \
  libcurl4-openssl-dev nlohmann-json3-dev libcli11-dev \
  googletest libgtest-dev libbenchmark-dev python3-pytest python3-aiohttp libboost1.81-dev \
  python3-matplotlib

export PYTHONPATH := $(CURDIR)$(if $(PYTHONPATH),:$(PYTHONPATH))

.PHONY: deps build data test test-cpp test-python demo bench clean

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
	cmake -S . -B $(BUILD) -G Ninja -DPython3_EXECUTABLE=$(PYTHON) $(CMAKE_FLAGS)

build: deps
	@$(MAKE) --no-print-directory $(BUILD)/build.ninja PYTHON="$(PYTHON)"
	cmake --build $(BUILD) -j $(JOBS)

$(DIGITS):
	@mkdir -p $(BUILD)/data/deb
	cd $(BUILD)/data/deb && rm -f python3-sklearn_*.deb && \
	  { apt-get download python3-sklearn 2>/dev/null || \
	    { $$( [ "$$(id -u)" = 0 ] || echo sudo ) apt-get update -q && apt-get download python3-sklearn; }; }
	dpkg-deb --fsys-tarfile $(BUILD)/data/deb/python3-sklearn_*.deb | tar -xO $(DIGITS_IN_DEB) > $(DIGITS).part
	gzip -t $(DIGITS).part && mv $(DIGITS).part $(DIGITS) && rm -rf $(BUILD)/data/deb

data: $(DIGITS)

test: build data
	cd $(BUILD) && ctest --output-on-failure
	$(PYTHON) -m pytest -q tests/python

demo: build data
	$(PYTHON) tools/demo/run_demo.py

bench: build data
	$(PYTHON) bench/run_all.py

clean:
	rm -rf $(BUILD)
	find korvane -name '*.so' -delete
