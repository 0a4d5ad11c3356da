# Set-up, build, demo and tests.  Every target installs what is missing first.
#   make demo   run daq-reader on the bundled recordings (the main job)
#   make test   build with AddressSanitizer and UndefinedBehaviorSanitizer and run all tests
#   make build  optimised build in build/
#   make bench  build and run the benchmarks

PACKAGES := cmake make g++ nlohmann-json3-dev libpugixml-dev libgtest-dev libgmock-dev \
            libbenchmark-dev
JOBS ?= $(shell nproc)
BUILD := build
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

test: deps
	cmake -S . -B $(CHECK) -DCMAKE_BUILD_TYPE=Debug -DDAQ_SANITIZE=ON >/dev/null
	cmake --build $(CHECK) -j $(JOBS)
	cd $(CHECK) && ctest --output-on-failure -j $(JOBS)

bench: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DDAQ_BENCH=ON >/dev/null
	cmake --build $(BUILD) -j $(JOBS)
	$(BUILD)/bin/daq-bench

format:
	clang-format -i $$(git ls-files '*.cc' '*.h' '*.hh')

clean:
	rm -rf $(BUILD) $(CHECK) $(DEMO)
