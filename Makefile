# Set-up, build, demo and tests.  Every target installs what is missing first.
#   make demo   run daq-reader on the bundled recordings (the main job)
#   make test   build and run all tests, then again with AddressSanitizer and UndefinedBehaviorSanitizer
#   make build  optimised build in build/
#   make bench  build and run the benchmarks

PACKAGES := cmake make g++ nlohmann-json3-dev libpugixml-dev libgtest-dev libgmock-dev \
            libbenchmark-dev libhdf5-dev
JOBS ?= $(shell nproc)
BUILD := build
TESTBUILD := build-test
CHECK := build-check
DEMO := out

.PHONY: deps build demo test bench format clean

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DDAQ_TESTS=OFF >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	@mkdir -p $(DEMO)/2010 $(DEMO)/2024
	@echo "== 2010 recording, tab mode: $(DEMO)/2010"
	cd $(DEMO)/2010 && ../../$(BUILD)/bin/daq-reader --quiet ../../examples/basic-2010.run.json \
	  -- -evstat -xdump
	@echo "== 2024 recording, HDF5 conversion mode with status columns: $(DEMO)/2024"
	cd $(DEMO)/2024 && ../../$(BUILD)/bin/daq-reader --quiet --outmode 1 \
	  ../../examples/mixed-2024.run.json -- -hdf5 -evstat -xdump
	@echo "== $(DEMO)/2024/user_out.txt"
	@cat $(DEMO)/2024/user_out.txt

# The suite runs twice: optimised as shipped, and under the sanitizers, where
# any report fails the test that caused it.
test: deps
	cmake -S . -B $(TESTBUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(TESTBUILD) -j $(JOBS)
	cd $(TESTBUILD) && ctest --output-on-failure -j $(JOBS)
	cmake -S . -B $(CHECK) -DCMAKE_BUILD_TYPE=Debug -DDAQ_SANITIZE=ON >/dev/null
	cmake --build $(CHECK) -j $(JOBS)
	cd $(CHECK) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

bench: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DDAQ_BENCH=ON >/dev/null
	cmake --build $(BUILD) -j $(JOBS)
	$(BUILD)/bin/daq-bench

format:
	clang-format -i $$(git ls-files '*.cc' '*.h' '*.hh')

clean:
	rm -rf $(BUILD) $(TESTBUILD) $(CHECK) $(DEMO)
