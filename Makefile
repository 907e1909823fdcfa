# One-command entry points. `make test SAN=1` builds and tests with AddressSanitizer and
# UndefinedBehaviorSanitizer in a separate build folder.
SAN ?= 0
JOBS ?= $(shell nproc)
ifeq ($(SAN),1)
BUILD ?= build-san
CMAKE_FLAGS += -DNVTD_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
else
BUILD ?= build
CMAKE_FLAGS += -DCMAKE_BUILD_TYPE=RelWithDebInfo
endif
NVTD = $(BUILD)/src/opt/nvtd/nvtd

.PHONY: all build deps test run bench fuzz clean

all: build

deps:
	bash scripts/deps

build:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

test: deps build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

run: deps build
	bash scripts/run-sample $(NVTD)

bench: deps build
	for b in $(BUILD)/bench/*/*_bench; do echo "== $$b"; $$b || exit 1; done

# Every fuzz target (tests/fuzz) for FUZZ_S seconds each, built with clang into build-fuzz.
FUZZ_S ?= 60
fuzz: deps
	FUZZ_S=$(FUZZ_S) JOBS=$(JOBS) bash tests/fuzz/run

clean:
	rm -rf build build-san build-fuzz
