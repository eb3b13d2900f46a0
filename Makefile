# make demo  - install what is missing, build, and prepare the bundled example
# make test  - install what is missing, build, and run every test
# make build - install what is missing and build
BUILD_DIR ?= build
JOBS ?= $(shell nproc)

.PHONY: deps configure build test demo clean

deps:
	@bash tools/bootstrap.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

demo: build
	@bash tools/demo.sh $(BUILD_DIR)/PeltoCadPrep

clean:
	rm -rf $(BUILD_DIR)
