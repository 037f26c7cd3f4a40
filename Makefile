# make run            install what is missing, build, then run expcoil on examples/config.txt in a scratch
#                     folder, write the design report of its magnets there and list what they wrote
# make test           install what is missing, build, then run every test (C++ and Python)
# make bench          build and run the benchmarks
# make golden         rewrite tests/data/golden/expected.txt from this build: only when a change of the
#                     chain's bits is meant (commit the new file with the change, saying why)
# make install-python install the Python package expcoil for /usr/bin/python3 (the user's site-packages,
#                     or PYTHON_SITE=<folder>)
# make deps           install the Debian packages the project needs (apt-get; sudo when not root)
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
WERROR ?= OFF
CMAKE_FLAGS ?=
PYTHON := /usr/bin/python3
PYTHON_SITE ?= $(shell $(PYTHON) -m site --user-site 2>/dev/null)

# Every Debian package the build, the tests and the benchmarks need: the one list.
PACKAGES := cmake make g++ libgtest-dev libbenchmark-dev libhwy-dev libhdf5-dev zlib1g-dev \
            pybind11-dev python3-dev python3-numpy python3-pytest python3-matplotlib python3-h5py \
            libopenmpi-dev openmpi-bin clang libclang-rt-14-dev chromium

.PHONY: deps build run test bench golden install-python clean

deps:
	@missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q '^install ok installed$$' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  sudo=""; [ "$$(id -u)" = 0 ] || sudo=sudo; \
	  echo "Installing:$$missing"; \
	  $$sudo apt-get update && $$sudo apt-get install -y --no-install-recommends $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DEXPCOIL_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

run: build
	rm -rf $(BUILD)/run
	mkdir -p $(BUILD)/run
	cp examples/config.txt $(BUILD)/run/
	cd $(BUILD)/run && $(abspath $(BUILD))/expcoil
	cd $(BUILD)/run && PYTHONPATH=$(abspath $(BUILD))/python MPLBACKEND=Agg $(PYTHON) -m expcoil report; \
	  status=$$?; ls -l; exit $$status

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	@for b in $(BUILD)/*_bench; do echo "== $$b"; $$b || exit 1; done
	@for b in bench/*.py; do echo "== $$b"; PYTHONPATH=$(BUILD)/python $(PYTHON) $$b || exit 1; done

golden: build
	EXPCOIL_REGENERATE_GOLDEN=1 $(BUILD)/expcoil_tests --gtest_filter='Golden.*'
	git diff --stat -- tests/data/golden

install-python: build
	@test -n "$(PYTHON_SITE)" || { echo "no site-packages folder for $(PYTHON): give PYTHON_SITE=<folder>"; exit 1; }
	cmake --install $(BUILD) --component python --prefix "$(PYTHON_SITE)"

clean:
	rm -rf $(BUILD)
