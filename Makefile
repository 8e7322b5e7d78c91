# The newcomer's entry point. Every target installs what is missing first.
#   make demo   build, fit a peak and every line of a gamma spectrum (an SPE file) from the bundled data, with plots
#   make test   build and run every test
#   make docs   API documentation of the public headers into $(BUILD_DIR)/docs
#   make test-asan, test-tsan, test-valgrind, fuzz   the reliability checks
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)
SHELL := /bin/bash
TOOL = $(BUILD_DIR)/tools/vesk-numerics

.PHONY: all deps configure build test demo docs bench coverage test-asan test-tsan test-valgrind fuzz clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

demo: build
	@echo "== $(TOOL) fit examples/data/peak.dat --plot $(BUILD_DIR)/demo-fit.svg"
	@$(TOOL) fit examples/data/peak.dat --plot $(BUILD_DIR)/demo-fit.svg
	@echo "The plot of this fit is in $(BUILD_DIR)/demo-fit.svg"
	@echo
	@echo "== $(TOOL) fit examples/data/series/run_*.dat --summary --trend-plot $(BUILD_DIR)/demo-trend.svg --trend-x 'run_(\d+)'"
	@$(TOOL) fit examples/data/series/run_*.dat --summary --trend-plot $(BUILD_DIR)/demo-trend.svg \
	  --trend-x 'run_(\d+)'
	@echo "The drift of the peak across the series is plotted in $(BUILD_DIR)/demo-trend.svg"
	@echo
	@echo "== $(TOOL) info examples/data/calibration_mixture.Spe   (an instrument's SPE file)"
	@$(TOOL) info examples/data/calibration_mixture.Spe
	@echo
	@echo "== $(TOOL) peaks examples/data/calibration_mixture.Spe --plot $(BUILD_DIR)/demo-peaks.svg --log-y"
	@$(TOOL) peaks examples/data/calibration_mixture.Spe --plot $(BUILD_DIR)/demo-peaks.svg --log-y
	@echo "Every line of the calibration spectrum, fitted, is plotted in $(BUILD_DIR)/demo-peaks.svg"
	@echo
	@echo "== $(TOOL) peaks examples/data/calibration_mixture.Spe --html $(BUILD_DIR)/demo-report.html"
	@$(TOOL) peaks examples/data/calibration_mixture.Spe --html $(BUILD_DIR)/demo-report.html >/dev/null
	@echo "The report to explore in a browser is $(CURDIR)/$(BUILD_DIR)/demo-report.html"
	@echo
	@echo "== $(TOOL) smooth examples/data/signal.dat --order 3 --window 11   (first rows: t, raw, smoothed)"
	@paste <(grep -v -e '^#' -e '^time' examples/data/signal.dat) \
	  <($(TOOL) smooth examples/data/signal.dat --order 3 --window 11) | head -n 6

docs: deps
	@mkdir -p $(BUILD_DIR)/docs
	@VESK_DOCS_DIR=$(BUILD_DIR)/docs doxygen docs/Doxyfile
	@echo "API documentation: $(BUILD_DIR)/docs/html/index.html"

# Release build of the benchmarks, then the side-by-side comparison with scipy and bare GSL.
BENCH_DIR ?= build-bench
PYTHON ?= /usr/bin/python3
bench:
	@scripts/install-deps python3-lmfit
	@cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release -DVESK_NUMERICS_BUILD_BENCHMARKS=ON \
	  -DVESK_NUMERICS_BUILD_TESTS=OFF -DVESK_NUMERICS_BUILD_TOOLS=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BENCH_DIR) -j $(JOBS)
	@echo "Running the benchmarks, then the comparisons (about three minutes)..."
	@$(BENCH_DIR)/bench/vesk_numerics_bench --benchmark_min_time=0.1 --benchmark_repetitions=5 \
	  --benchmark_report_aggregates_only=true --benchmark_out=$(BENCH_DIR)/benchmarks.json --benchmark_out_format=json >/dev/null
	@$(PYTHON) bench/compare/compare.py $(BENCH_DIR) --benchmarks $(BENCH_DIR)/benchmarks.json \
	  --gsl-cblas "$$(cmake -LA -N $(BENCH_DIR) | sed -n 's/^GSL_CBLAS_LIBRARY:[A-Z]*=//p')" \
	  --markdown $(BENCH_DIR)/bench-table.md
	@echo
	@PYTHONPATH=$(BENCH_DIR)/python $(PYTHON) bench/compare/python_bench.py $(BENCH_DIR) \
	  --markdown $(BENCH_DIR)/python-bench-table.md
	@echo
	@PYTHONPATH=$(BENCH_DIR)/python $(PYTHON) bench/compare/peaks_bench.py \
	  --markdown $(BENCH_DIR)/peaks-bench-table.md
	@echo
	@PYTHONPATH=$(BENCH_DIR)/python $(PYTHON) bench/compare/shapes_bench.py $(BENCH_DIR) \
	  --markdown $(BENCH_DIR)/shapes-bench-table.md
	@echo
	@PYTHONPATH=$(BENCH_DIR)/python $(PYTHON) bench/compare/report_bench.py \
	  --markdown $(BENCH_DIR)/report-bench-table.md

# Line coverage of the library's sources by the unit tests, with gcov.
coverage: deps
	@cmake -S . -B build-coverage -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=--coverage \
	  -DVESK_NUMERICS_BUILD_TOOLS=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-coverage -j $(JOBS) >/dev/null
	@find build-coverage -name '*.gcda' -delete
	@build-coverage/tests/vesk_numerics_tests --gtest_brief=1 >/dev/null
	@cd build-coverage/CMakeFiles/vesk_numerics_objects.dir/src && for data in *.gcda; do \
	  gcov -n -o . "$$data" | grep -A1 "^File '$(CURDIR)/src/"; done

# Undefined behaviour ends the run at once, with a stack trace.
export UBSAN_OPTIONS = halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS = halt_on_error=1

test-asan:
	@$(MAKE) --no-print-directory test BUILD_DIR=build-asan BUILD_TYPE=Debug \
	  CMAKE_FLAGS="$(CMAKE_FLAGS) -DVESK_NUMERICS_SANITIZE=address,undefined"

test-tsan:
	@$(MAKE) --no-print-directory build BUILD_DIR=build-tsan \
	  CMAKE_FLAGS="$(CMAKE_FLAGS) -DVESK_NUMERICS_SANITIZE=thread"
	@cd build-tsan && ctest --output-on-failure -j $(JOBS)

test-valgrind: build
	@scripts/valgrind-tests $(BUILD_DIR)

FUZZ_SECONDS ?= 60
fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVESK_NUMERICS_FUZZ=ON -DVESK_NUMERICS_BUILD_TESTS=OFF -DVESK_NUMERICS_BUILD_TOOLS=OFF \
	  $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-fuzz -j $(JOBS)
	@scripts/run-fuzzers build-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD_DIR) build-asan build-tsan build-fuzz build-bench build-coverage
