# make run   build, then run expcoil on examples/config.txt in a scratch folder and list what it wrote
# make test  build, then run every test
# make bench build and run the benchmarks
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
WERROR ?= OFF
CMAKE_FLAGS ?=

.PHONY: build run test bench clean

build:
	cmake -S . -B $(BUILD) -DEXPCOIL_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

run: build
	rm -rf $(BUILD)/run
	mkdir -p $(BUILD)/run
	cp examples/config.txt $(BUILD)/run/
	cd $(BUILD)/run && $(abspath $(BUILD))/expcoil
	ls -l $(BUILD)/run

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	@for b in $(BUILD)/*_bench; do echo "== $$b"; $$b || exit 1; done

clean:
	rm -rf $(BUILD)
