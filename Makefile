# Entry points for operators and CI. Each target installs what it needs first.
BUILD_DIR ?= build
ASAN_DIR ?= build-asan
FUZZ_DIR ?= build-fuzz
JOBS ?= $(shell nproc)

.PHONY: all deps build build-asan build-fuzz test test-fast asan fuzz valgrind static-analysis demo package bench mutants clean

all: build

deps:
	@./scripts/deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja
	cmake --build $(BUILD_DIR) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_DIR) -G Ninja -DSESMAINT_SANITIZE=ON
	cmake --build $(ASAN_DIR) -j $(JOBS)

# Every test lane, in a normal build and under AddressSanitizer + UndefinedBehaviorSanitizer,
# then the hardening lanes: fuzz smoke runs, memcheck over the e2e lane, static analysis.
test: test-fast asan fuzz valgrind static-analysis

# Every lane in the normal build only.
test-fast: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)
	@cat $(BUILD_DIR)/fault-sweep-summary.txt

# The lanes that run our own code in-process, under the sanitizers; any report fails the test.
asan: build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_DIR) --output-on-failure -j $(JOBS) -LE 'kernel|package|bench|fleet'
	@cat $(ASAN_DIR)/fault-sweep-summary.txt

# The fuzz targets (clang 14, libFuzzer + ASan/UBSan) in a build of their own; each runs briefly
# over its seed corpus. Long runs: scripts/fuzz-long.sh.
build-fuzz: deps
	cmake -S tests/fuzz -B $(FUZZ_DIR) -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14
	cmake --build $(FUZZ_DIR) -j $(JOBS)

fuzz: build-fuzz
	ctest --test-dir $(FUZZ_DIR) --output-on-failure -j $(JOBS) -L fuzz

# fwpush and bufterm under valgrind memcheck in the e2e lane's tests: no errors, no leaks.
valgrind: build
	BUILD_DIR=$(BUILD_DIR) JOBS=$(JOBS) ./scripts/valgrind-e2e.sh

# clang-tidy (.clang-tidy) and cppcheck (.cppcheck-suppressions): any unsuppressed finding fails.
static-analysis: build
	BUILD_DIR=$(BUILD_DIR) JOBS=$(JOBS) ./scripts/static-analysis.sh

# What the demo runs: the three programs and the simulator's preload library, none of the tests.
DEMO_TARGETS = fwpush bufterm sesim sesim_preload

# A firmware download rehearsed on a simulated enclosure in a temporary directory. Builds only
# what it runs; `make build` and `make test` build everything.
demo:
	@./scripts/deps.sh build
	cmake -S . -B $(BUILD_DIR) -G Ninja
	cmake --build $(BUILD_DIR) -j $(JOBS) --target $(DEMO_TARGETS)
	@BUILD_DIR=$(BUILD_DIR) ./scripts/demo.sh

# fwpush side by side with sg_ses_microcode, and bufterm, on the simulated enclosure: a table,
# then one `name: value` line per figure (docs/PERFORMANCE.md). BENCH_QUICK=1 for a short run.
bench: build
	@BUILD_DIR=$(BUILD_DIR) JOBS=$(JOBS) python3 bench/bench.py

# The mutation lane, on demand (not part of make test): every hand-made fault of
# tests/mutants/faults.txt planted in a mirror of the tree, each one caught by a test.
mutants: deps
	nice python3 scripts/mutants.py --jobs $(JOBS)

# The Debian package, in $(BUILD_DIR)/ (install it with: sudo apt install ./$(BUILD_DIR)/ses-maint_*.deb).
package: build
	cd $(BUILD_DIR) && cpack -G DEB

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(FUZZ_DIR) build-mutants
