# Quorva: `make run` builds and starts the program, `make test` builds and runs
# every test in a normal and a sanitizer build, and the threaded tests in a
# ThreadSanitizer build; `make bench` runs the benchmarks. Cases labelled
# large run only in the normal build.
JOBS ?= $(shell nproc)
NORMAL := build/normal
ASAN   := build/asan
TSAN   := build/tsan
FUZZ   := build/fuzz
BENCH  := build/bench
CMAKE_GEN := -G Ninja

.PHONY: all deps build test test-normal test-asan test-tsan test-fuzz run bench clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(NORMAL) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_DIRS=
	cmake --build $(NORMAL) -j $(JOBS)

test: deps
	$(MAKE) --no-print-directory test-fuzz test-normal test-asan test-tsan

test-normal:
	cmake -S . -B $(NORMAL) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_DIRS=
	cmake --build $(NORMAL) -j $(JOBS)
	cd $(NORMAL) && ctest --output-on-failure -j $(JOBS) -LE fuzz

# The gui tests run in the normal build only: GTK, fontconfig and WebKitGTK
# keep process-wide caches that LeakSanitizer reports at exit, and the
# page itself runs in WebKit's own processes, which no sanitizer of ours
# sees. What the windows do is tested headless here.
test-asan:
	cmake -S . -B $(ASAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON -DQV_DIRS=
	cmake --build $(ASAN) -j $(JOBS)
	cd $(ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) -LE 'fuzz|large|gui'

# A data race fails the run like a leak does. Only the programs whose cases
# run several threads (label threaded) are built here. cmake/tsan.supp lists
# the reports still open. The embedded script engine (duktape) is built
# without instrumentation (platform/net/CMakeLists.txt).
test-tsan:
	cmake -S . -B $(TSAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_TSAN=ON -DQV_DIRS=
	cmake --build $(TSAN) -j $(JOBS) --target threaded_tests
	cd $(TSAN) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/cmake/tsan.supp \
	  ctest --output-on-failure -j $(JOBS) -L threaded -LE 'fuzz|large'

# libFuzzer targets, each run for a bounded time on its seed corpus.
test-fuzz:
	cmake -S . -B $(FUZZ) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQV_FUZZ=ON \
	  -DQV_DIRS='platform/foundation;platform/net;platform/system;Framework/Staticclass;Framework/SJSON;Framework/JSONDecoder;Framework/JSONCategories;app/trans/lan'
	cmake --build $(FUZZ) -j $(JOBS) --target fuzz_targets
	cd $(FUZZ) && ctest --output-on-failure -j $(JOBS) -L fuzz --no-tests=ignore

run: build
	@scripts/run

bench: deps
	@scripts/install-deps bench
	cmake -S . -B $(BENCH) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DQV_BENCH=ON -DQV_DIRS=
	cmake --build $(BENCH) -j $(JOBS)
	bench/run-all $(BENCH)

clean:
	rm -rf build
