# make demo  - install what is missing, build, and prepare the bundled example
# make test  - install what is missing, build, and run every test
# make build - install what is missing and build
# make test-sanitize - the same tests built with AddressSanitizer and
#              UndefinedBehaviorSanitizer in build-asan (run by CI after make test)
# make review - start the review workstation on 127.0.0.1 and print its address
#              (PORT=N picks the port; default 8765)
# make fuzz  - build the libFuzzer targets with clang in build-fuzz and run each
#              for FUZZ_SECONDS seconds (default 60); not part of make test
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60

.PHONY: deps configure build test test-sanitize demo review fuzz clean

deps:
	@bash tools/bootstrap.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPL_WERROR=ON > /dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# Benchmarks are left out: they are not tests, and the sanitizers would slow them anyway.
test-sanitize: deps
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPL_SANITIZE=address,undefined \
	  -DPL_BUILD_BENCH=OFF > /dev/null
	@cmake --build build-asan -j $(JOBS)
	@cd build-asan && ctest --output-on-failure -j $(JOBS)

demo: build
	@bash tools/demo.sh $(BUILD_DIR)/PeltoCadPrep

review: deps
	@bash tools/review.sh --port $(or $(PORT),8765)

fuzz:
	@FUZZ_SECONDS=$(FUZZ_SECONDS) bash tools/fuzz.sh

clean:
	rm -rf $(BUILD_DIR)
