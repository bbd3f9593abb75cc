# Benchmarks against the peers (not part of the test suite).
#
#   make bench       set up .venv with the bench extra (./dev.sh bench), build
#                    the C++ harnesses into benchmarks/_build/ and run them all
#   make harnesses   only build the harnesses (PYTHON names the interpreter
#                    whose headers they include; default .venv/bin/python)
#   make clean-bench remove benchmarks/_build/
#   make sanitize    the test suite against a sanitizer build (scripts/sanitize.sh)
#   make fuzz        coverage-guided fuzzing (scripts/fuzz.sh), each target for
#                    FUZZ_SECONDS (default 60); FUZZ_TARGETS picks targets
#
# The root-finder harness links GSL (Debian: libgsl-dev), and fuzzing needs
# clang 15 or later with its fuzzer runtime (Debian: the newest clang-N and
# libclang-rt-N-dev). When one is missing, `make` installs it with apt-get if
# it runs as root, and otherwise says what to install.

CXX ?= c++
PYTHON ?= .venv/bin/python
BUILD := benchmarks/_build
# The project's own flags: C++20, no contraction into fused multiply-adds and
# no fast-math, so the harnesses compute what the package computes.
CXXFLAGS_BENCH := -std=c++20 -O3 -fPIC -shared -fvisibility=hidden -Wall -Wextra \
	-ffp-contract=off -fno-fast-math -Isrc/velmora

GRID_HEADERS := $(wildcard src/velmora/radiation/opacity/grey_opacity/*.hpp src/velmora/radiation/opacity/*.hpp \
	src/velmora/_runtime/*.hpp)
SOLVER_HEADERS := $(wildcard src/velmora/math_utils/*.hpp src/velmora/_runtime/*.hpp)

.PHONY: bench harnesses gsl clang clean-bench sanitize fuzz

bench: gsl
	./dev.sh bench

# The test suite against an AddressSanitizer + UndefinedBehaviorSanitizer
# build of every module (outside the tree); ARGS go to pytest.
sanitize:
	scripts/sanitize.sh $(ARGS)

# Fuzzing against a clang build instrumented for coverage (outside the tree).
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=
fuzz: clang
	FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz.sh $(FUZZ_TARGETS)

clang:
	@if ! scripts/fuzz.sh --clang >/dev/null 2>&1; then \
		if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
			apt-get update -qq; \
			v=$$(apt-cache search --names-only '^clang-[0-9]+$$' | sed -n 's/^clang-\([0-9]*\) .*/\1/p' | sort -n | tail -n 1); \
			[ -n "$$v" ] || { echo "fuzz: apt-get offers no versioned clang"; exit 1; }; \
			echo "fuzz: clang 15+ with its fuzzer runtime is missing; installing clang-$$v and libclang-rt-$$v-dev"; \
			DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-$$v libclang-rt-$$v-dev; \
		else \
			echo "fuzz: clang 15+ with its fuzzer runtime is missing. Install it, then run this again:"; \
			echo "  Debian 12:  sudo apt-get install clang-19 libclang-rt-19-dev"; \
			exit 1; \
		fi; \
	fi

harnesses: $(BUILD)/table_kernel.so $(BUILD)/root_harness.so
	@$(CXX) --version | head -n 1 > $(BUILD)/compiler.txt

gsl:
	@if ! printf '#include <gsl/gsl_roots.h>\n' | $(CXX) -E -x c++ - >/dev/null 2>&1; then \
		if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
			echo "bench: GSL is missing; installing libgsl-dev with apt-get"; \
			apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgsl-dev; \
		else \
			echo "bench: GSL is missing. Install it, then run this again:"; \
			echo "  Debian / Ubuntu:  sudo apt-get install libgsl-dev"; \
			exit 1; \
		fi; \
	fi

$(BUILD):
	mkdir -p $@

# The includes of the interpreter the package is built for: the solver
# headers declare their C-level interfaces over the CPython C API. The table
# kernel needs none: the grid's numerical core is plain C++.
PYINCLUDE = $(shell $(PYTHON) -c 'import sysconfig; print(sysconfig.get_paths()["include"])')

$(BUILD)/table_kernel.so: benchmarks/table_kernel.cpp $(GRID_HEADERS) | $(BUILD)
	$(CXX) $(CXXFLAGS_BENCH) $< -o $@

$(BUILD)/root_harness.so: benchmarks/root_harness.cpp $(SOLVER_HEADERS) | $(BUILD) gsl
	$(CXX) $(CXXFLAGS_BENCH) -I$(PYINCLUDE) $< -o $@ -lgsl -lgslcblas -lm

clean-bench:
	rm -rf $(BUILD)
