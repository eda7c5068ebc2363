# make demo: install what is missing, build, and run the main job against the camera simulator.
# make test: install what is missing, build, and run every test.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps build test demo asan tsan fuzz install clean

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

demo: build
	@bash scripts/demo.sh $(BUILD)

# The sanitizer suites that .ci/run runs after make test.
asan: deps
	@bash scripts/sanitize.sh address,undefined build-asan

tsan: deps
	@bash scripts/sanitize.sh thread build-tsan

# Each fuzz target over its corpus, then FUZZ_SECONDS of fuzzing each.
FUZZ_SECONDS ?= 30
fuzz: deps
	@bash scripts/fuzz.sh build-fuzz $(FUZZ_SECONDS)

install: build
	@cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
