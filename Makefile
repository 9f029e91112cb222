# Quick start: `make run` and `make test` install what is missing, configure, build and run.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
SAMPLE ?= ../shared/corpus/jpeg/Canon_40D.jpg
CMAKE_FLAGS ?=
# Lets compiler-cache hits carry across checkouts in different folders (CI clones afresh).
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1
FUZZ_SECONDS ?= 30
BENCH_DIR ?= build-bench
BENCH_MIN_TIME ?= 0.2
# The video benchmark times this clip (bench/workload makes it).
BENCH_VIDEO ?= $(wildcard build/bench-work/clip1080.mp4)

.PHONY: all deps configure build run test check-sanitize check-sanitize-ci check-tsan fuzz bench bench-compare clean format

all: build

deps:
	scripts/install-deps

$(BUILD_DIR)/build.ninja:
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DMIO_WARNINGS_AS_ERRORS=ON $(CMAKE_FLAGS)

configure: $(BUILD_DIR)/build.ninja

build: deps configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	$(BUILD_DIR)/tools/mediaio/mediaio sample $(BUILD_DIR)/mediaio-sample.png
	$(BUILD_DIR)/tools/mediaio/mediaio info $(BUILD_DIR)/mediaio-sample.png $(wildcard $(SAMPLE))
	$(BUILD_DIR)/tools/mediaio/mediaio thumbnail $(BUILD_DIR)/mediaio-sample.png -o $(BUILD_DIR)/mediaio-thumb.png -s 160x120

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS) --timeout 600

check-sanitize: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMIO_SANITIZE=ON -DMIO_WARNINGS_AS_ERRORS=ON -DMIO_BUILD_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS) --timeout 900

# The sanitizer run that fits CI: the parsers and the engine objects that read untrusted bytes,
# with the stress suite's short form, in a folder of their own (only these suites exist there;
# the suites not built show up as *_NOT_BUILT entries and are left out).
SANITIZE_CI_TESTS ?= mio_formats_tests mio_formats_corpus_tests mio_exif_tests mio_stillimage_tests \
	mio_imaging_tests mio_imageobject_tests mio_dib_file_tests mio_metadata_rewriter_tests \
	mio_tageditor_tests mio_manager_corpus_tests mio_mediaobject_corpus_tests mio_stress_tests
check-sanitize-ci: deps
	cmake -S . -B build-asan-ci -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMIO_SANITIZE=ON -DMIO_WARNINGS_AS_ERRORS=ON -DMIO_BUILD_BENCH=OFF
	cmake --build build-asan-ci -j $(JOBS) --target $(SANITIZE_CI_TESTS)
	ctest --test-dir build-asan-ci -E '_NOT_BUILT$$' --output-on-failure -j $(JOBS) --timeout 900

# The stress suite under ThreadSanitizer: only it and the module it loads are built. -Wtsan
# (fences the checker cannot see) would stop the build, so warnings stay warnings here; the
# regular build is the warning gate. STRESS_SECONDS=600 for a long run.
STRESS_SECONDS ?= 20
TSAN_FLAGS := -DCMAKE_C_FLAGS=-fsanitize=thread -DCMAKE_CXX_FLAGS=-fsanitize=thread \
	-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread \
	-DCMAKE_MODULE_LINKER_FLAGS=-fsanitize=thread
check-tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIO_WARNINGS_AS_ERRORS=OFF -DMIO_BUILD_BENCH=OFF $(TSAN_FLAGS)
	nice -n 10 cmake --build build-tsan -j $(JOBS) --target mio_stress_tests
	TSAN_OPTIONS="suppressions=$(CURDIR)/tests/stress/tsan.supp halt_on_error=1 second_deadlock_stack=1 history_size=4" \
	  MIO_STRESS_SECONDS=$(STRESS_SECONDS) MIO_STRESS_STALL_SECONDS=600 build-tsan/tests/stress/mio_stress_tests

# clang's libFuzzer with every library instrumented for coverage; warnings are gcc's gate.
fuzz: deps
	cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DMIO_BUILD_FUZZERS=ON -DMIO_SANITIZE=ON -DMIO_BUILD_TESTS=OFF -DMIO_BUILD_BENCH=OFF -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_C_STANDARD_LIBRARIES=-Wl,-z,undefs -DCMAKE_CXX_STANDARD_LIBRARIES=-Wl,-z,undefs
	cmake --build build-fuzz -j $(JOBS) --target mio_fuzzers
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run.sh build-fuzz

# Release build of its own; runs each Google Benchmark binary briefly (the others are run by
# the compare scripts).
bench: deps
	cmake -S . -B $(BENCH_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DMIO_BUILD_BENCH=ON -DMIO_BUILD_TESTS=OFF
	cmake --build $(BENCH_DIR) -j $(JOBS)
	@for b in $(BENCH_DIR)/bench/*/mio_*_bench; do \
	  grep -q _ZN9benchmark $$b || continue; \
	  echo "== $$b"; $(if $(BENCH_VIDEO),MIO_BENCH_VIDEO=$(abspath $(BENCH_VIDEO))) \
	    $$b --benchmark_min_time=$(BENCH_MIN_TIME) || exit 1; \
	done

# Whole commands next to their peers: makes the workload and writes bench/RESULTS.md.
bench-compare: bench
	bench/compare --build $(BENCH_DIR)

format:
	git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) build-asan build-asan-ci build-tsan build-fuzz
