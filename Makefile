# Entry points for operators and CI. Each target installs what it needs first.
BUILD_DIR ?= build
ASAN_DIR ?= build-asan
JOBS ?= $(shell nproc)

.PHONY: all deps build build-asan test test-fast asan demo package bench clean

all: build

deps:
	@./scripts/deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja
	cmake --build $(BUILD_DIR) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_DIR) -G Ninja -DSESMAINT_SANITIZE=ON
	cmake --build $(ASAN_DIR) -j $(JOBS)

# Every test lane, in a normal build and under AddressSanitizer + UndefinedBehaviorSanitizer.
test: test-fast asan

# Every lane in the normal build only.
test-fast: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# The lanes that run our own code in-process, under the sanitizers; any report fails the test.
asan: build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_DIR) --output-on-failure -j $(JOBS) -LE 'kernel|package|bench'

# A firmware download rehearsed on a simulated enclosure in a temporary directory.
demo: build
	@BUILD_DIR=$(BUILD_DIR) ./scripts/demo.sh

# fwpush side by side with sg_ses_microcode, and bufterm, on the simulated enclosure: a table,
# then one `name: value` line per figure (docs/PERFORMANCE.md). BENCH_QUICK=1 for a short run.
bench: build
	@BUILD_DIR=$(BUILD_DIR) JOBS=$(JOBS) python3 bench/bench.py

# The Debian package, in $(BUILD_DIR)/ (install it with: sudo apt install ./$(BUILD_DIR)/ses-maint_*.deb).
package: build
	cd $(BUILD_DIR) && cpack -G DEB

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR)
