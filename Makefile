# make run            install what is missing for building and running, build, then run expcoil on
#                     examples/config.txt in a scratch folder (build/run), write the design report of its
#                     magnets there and list what they wrote; then the same for examples/config_precise.txt
#                     (the precise design mode) in build/run/precise
# make test           install what is missing for the tests too, build, then run every test (C++ and Python)
# make bench          build and run the benchmarks
# make golden         rewrite tests/data/golden/expected.txt from this build: only when a change of the
#                     chain's bits is meant (commit the new file with the change, saying why)
# make install        build, then install expcoil and expcoil-export into PREFIX/bin and the Python package
#                     expcoil into PREFIX/lib/python3.X/dist-packages (PREFIX=/usr/local; DESTDIR honoured)
# make uninstall      remove what the last make install (and make install-python) of BUILD installed
# make install-python install the Python package alone into the user's site-packages of /usr/bin/python3
#                     (or PYTHON_SITE=<folder>)
# make deps           install the Debian packages that building and running need (apt-get; sudo when not root)
# make deps-test      and those that the tests, the benchmarks and CI (.ci/run) add
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
WERROR ?= OFF
CMAKE_FLAGS ?=
PYTHON := /usr/bin/python3
PYTHON_SITE ?= $(shell $(PYTHON) -m site --user-site 2>/dev/null)
PREFIX ?= /usr/local
DESTDIR ?=

# What building and running need (make build, make run, make install): the compiler and CMake, the
# libraries of the core and the exporters, and Python with what the package and its report import.
RUN_PACKAGES := cmake make g++ libhwy-dev libhdf5-dev zlib1g-dev \
                pybind11-dev python3-dev python3-numpy python3-matplotlib
# What the tests (make test), the benchmarks and CI (.ci/run: MPI, the fuzzers, the report's page in a
# browser, the pip route in a virtual environment) add.
TEST_PACKAGES := libgtest-dev libbenchmark-dev python3-pytest python3-h5py python3-venv python3-pip \
                 python3-setuptools libopenmpi-dev openmpi-bin clang libclang-rt-14-dev chromium

# One step after the other: the packages must be there before the configuration looks for them.
.NOTPARALLEL:
.PHONY: deps deps-test build run test bench golden install uninstall install-python clean

# Installs those of $(1) that are missing. Without root and without sudo it says what to run as root.
define install_packages
	@missing=""; \
	for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q '^install ok installed$$' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  apt="apt-get install -y --no-install-recommends$$missing"; \
	  if [ "$$(id -u)" = 0 ]; then sudo="env"; \
	  elif command -v sudo >/dev/null 2>&1; then sudo="sudo env"; \
	  else \
	    echo "make $@: these Debian packages are missing:$$missing" >&2; \
	    echo "Neither root nor sudo is available here: run as root" >&2; \
	    echo "  apt-get update && $$apt" >&2; \
	    echo "then make $@ again." >&2; \
	    exit 1; \
	  fi; \
	  echo "Installing:$$missing"; \
	  $$sudo DEBIAN_FRONTEND=noninteractive apt-get update && \
	  $$sudo DEBIAN_FRONTEND=noninteractive $$apt; \
	fi
endef

deps:
	$(call install_packages,$(RUN_PACKAGES))

deps-test: deps
	$(call install_packages,$(TEST_PACKAGES))

build: deps
	cmake -S . -B $(BUILD) -DEXPCOIL_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

run: build
	rm -rf $(BUILD)/run
	mkdir -p $(BUILD)/run/precise
	cp examples/config.txt $(BUILD)/run/
	cp examples/config_precise.txt $(BUILD)/run/precise/config.txt
	cd $(BUILD)/run && $(abspath $(BUILD))/expcoil
	cd $(BUILD)/run && PYTHONPATH=$(abspath $(BUILD))/python MPLBACKEND=Agg $(PYTHON) -m expcoil report; \
	  status=$$?; ls -l; exit $$status
	cd $(BUILD)/run/precise && $(abspath $(BUILD))/expcoil
	cd $(BUILD)/run/precise && PYTHONPATH=$(abspath $(BUILD))/python MPLBACKEND=Agg $(PYTHON) -m expcoil report; \
	  status=$$?; ls -l; exit $$status

# The test packages first, so that the configuration of build finds GoogleTest.
test: deps-test build
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS)

bench: deps-test build
	@for b in $(BUILD)/*_bench; do echo "== $$b"; $$b || exit 1; done
	@for b in bench/*.py; do echo "== $$b"; PYTHONPATH=$(BUILD)/python $(PYTHON) $$b || exit 1; done

golden: deps-test build
	EXPCOIL_REGENERATE_GOLDEN=1 $(BUILD)/expcoil_tests --gtest_filter='Golden.*'
	git diff --stat -- tests/data/golden

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# install_manifest.txt holds every file of the last make install under its PREFIX (give the same DESTDIR
# again; its last line has no line end); the package's folder goes with its files and the bytecode
# Python left there.
uninstall:
	@for manifest in $(BUILD)/install_manifest.txt $(BUILD)/install_manifest_python-site.txt; do \
	  [ -f "$$manifest" ] || continue; \
	  package=""; \
	  while IFS= read -r file || [ -n "$$file" ]; do \
	    [ -n "$$file" ] || continue; \
	    file="$(DESTDIR)$$file"; \
	    echo "Removing $$file"; rm -f "$$file"; \
	    case "$$file" in */expcoil/__init__.py) package="$${file%/__init__.py}";; esac; \
	  done < "$$manifest"; \
	  if [ -n "$$package" ]; then rm -rf "$$package/__pycache__"; rmdir "$$package" 2>/dev/null || true; fi; \
	  rm -f "$$manifest"; \
	done

install-python: build
	@test -n "$(PYTHON_SITE)" || { echo "no site-packages folder for $(PYTHON): give PYTHON_SITE=<folder>"; exit 1; }
	cmake --install $(BUILD) --component python-site --prefix "$(PYTHON_SITE)"

clean:
	rm -rf $(BUILD)
