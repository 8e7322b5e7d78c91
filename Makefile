# The newcomer's entry point. Every target installs what is missing first.
#   make demo   build and fit a peak from the bundled data, with a plot
#   make test   build and run every test
#   make docs   API documentation of the public headers into $(BUILD_DIR)/docs
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)
SHELL := /bin/bash
TOOL = $(BUILD_DIR)/tools/vesk-numerics

.PHONY: all deps configure build test demo docs clean

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
	@echo "== $(TOOL) smooth examples/data/signal.dat --order 3 --window 11   (first rows: t, raw, smoothed)"
	@paste <(grep -v -e '^#' -e '^time' examples/data/signal.dat) \
	  <($(TOOL) smooth examples/data/signal.dat --order 3 --window 11) | head -n 6

docs: deps
	@mkdir -p $(BUILD_DIR)/docs
	@VESK_DOCS_DIR=$(BUILD_DIR)/docs doxygen docs/Doxyfile
	@echo "API documentation: $(BUILD_DIR)/docs/html/index.html"

clean:
	rm -rf $(BUILD_DIR)
