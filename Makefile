# Set-up, build, demo and tests.  Every target installs what is missing first.
#   make demo   run daq-reader on the bundled simulated run (the main job)
#   make test   build and run all tests, then again with AddressSanitizer and UndefinedBehaviorSanitizer
#   make build  optimised build in build/
#   make install PREFIX=P   install the optimised build under P (default /usr/local)
#   make deb    the Debian packages daq-tools and daq-tools-dev, build/*_VERSION_ARCH.deb
#   make campaign  the bundled example campaign through the Snakemake workflow (out/campaign/)
#   make bench  build and run the benchmarks
#   make fuzz   build the libFuzzer targets with clang and run each FUZZ_TIME seconds
#   make check-formats  compare the number formatter with printf on every float (minutes)

# The Debian packages each target installs, those missing only: every target what it builds and
# runs, make test what its tests use and start besides.
#   BUILD_PACKAGES   the compiler, CMake and the libraries the C++ code builds against
#   RUN_PACKAGES     what the programs load at run time: HDF5's LZ4 filter (-h5z lz4), and
#                    daq-quicklook's Python packages (make demo draws the run file)
#   DOC_PACKAGES     pandoc for the manual pages of make install and make deb; a build without
#                    pandoc goes on without manual pages
#   DEB_PACKAGES     dpkg-shlibdeps and file, which CPack runs to find the package's Depends
#   TEST_PACKAGES    GoogleTest; pytest and the Python packages the tests import (pandas, PIL,
#                    xarray with netCDF4 and h5netcdf, silx); Snakemake, Chromium (the campaign
#                    report), Slurm with slurmdbd, munge and MariaDB (a one-node cluster the
#                    campaign test starts); lintian (the package test); pkg-config (plug-ins
#                    built against the installed host)
BUILD_PACKAGES := cmake make g++ nlohmann-json3-dev libsimdjson-dev libpugixml-dev zlib1g-dev \
                  libhdf5-dev libisal-dev
RUN_PACKAGES := hdf5-filter-plugin python3-numpy python3-h5py python3-matplotlib
DOC_PACKAGES := pandoc
DEB_PACKAGES := dpkg-dev file
CAMPAIGN_PACKAGES := snakemake python3-pil
BENCH_PACKAGES := libbenchmark-dev
TEST_PACKAGES := libgtest-dev libgmock-dev python3-pytest python3-pandas python3-pil python3-xarray \
                 python3-netcdf4 python3-h5netcdf python3-silx snakemake chromium slurm-wlm \
                 slurmdbd munge mariadb-server lintian pkg-config
JOBS ?= $(shell nproc)
BUILD := build
TESTBUILD := build-test
CHECK := build-check
DEMO := out

PREFIX ?= /usr/local

.PHONY: deps build install deb demo campaign test bench check-formats format clean fuzz

# Installs those of the Debian packages $(1) that are missing, without the packages they only
# recommend; make test takes those too, as the machines its suite was written on had them.
APT_OPTIONS := --no-install-recommends
define install_missing
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y $(APT_OPTIONS) $$missing; \
	fi
endef

# What make build needs; the other targets add theirs.
deps:
	$(call install_missing,$(BUILD_PACKAGES) $(RUN_PACKAGES) $(EXTRA_PACKAGES))

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DDAQ_TESTS=OFF >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

install: EXTRA_PACKAGES = $(DOC_PACKAGES)
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# daq-tools and daq-tools-dev, the installed tree under /usr (CMakeLists.txt
# says what goes where).
deb: EXTRA_PACKAGES = $(DOC_PACKAGES) $(DEB_PACKAGES)
deb: build
	cd $(BUILD) && cpack -G DEB
	@ls $(BUILD)/daq-tools_*.deb $(BUILD)/daq-tools-dev_*.deb

# The main job: the bundled simulated 2024 run, dumped twice (tab mode and
# HDF5 conversion mode) with event-ID lists, XML description and images; the
# second run also writes the run file run.h5, the converter makes the same
# layout from the table, and daq-quicklook draws the run file.
RUN := examples/sim-2024.run.json
WORDS := -evstat -xdump -imdump images
demo: build
	@rm -rf $(DEMO) && mkdir -p $(DEMO)/tab/images $(DEMO)/hdf5/images
	@echo "== tab mode: daq-reader $(RUN) -- $(WORDS)"
	cd $(DEMO)/tab && ../../$(BUILD)/bin/daq-reader --quiet ../../$(RUN) -- $(WORDS) >stdout.txt
	@echo "== HDF5 conversion mode and the run file: daq-reader --outmode 1 $(RUN) -- -hdf5 $(WORDS) -h5 run.h5"
	cd $(DEMO)/hdf5 && ../../$(BUILD)/bin/daq-reader --quiet --outmode 1 ../../$(RUN) \
	  -- -hdf5 $(WORDS) -h5 run.h5 >stdout.txt
	@echo "== the same run from its table: daq-table2h5 --xml user_descr.xml user_out.txt"
	cd $(DEMO)/hdf5 && ../../$(BUILD)/bin/daq-table2h5 -o from-table.h5 --xml user_descr.xml \
	  user_out.txt
	@echo "== a run at a glance: daq-quicklook run.h5 -o run.png"
	cd $(DEMO)/hdf5 && ../../$(BUILD)/bin/daq-quicklook run.h5 -o run.png
	@echo "== written under $(DEMO)/ (bytes, file)"
	@cd $(DEMO) && find . -type f -not -path '*/images/*' -printf '%10s  %P\n' | sort -k2
	@cd $(DEMO) && for d in tab hdf5; do \
	  printf '%10s  %s\n' "$$(du -sb $$d/images | cut -f1)" \
	    "$$d/images/ ($$(ls $$d/images | wc -l) image files, e.g. $$(ls $$d/images | head -1))"; \
	done

# The bundled campaign (examples/campaign/) through workflow/Snakefile on this machine: every run
# into out/campaign/RUN/, then out/campaign/campaign.h5 and campaign.html.  Snakemake's exit
# status is 1, since broken-0301.run.json is broken on purpose; any other failure fails the target.
CAMPAIGN := $(DEMO)/campaign
campaign: EXTRA_PACKAGES = $(CAMPAIGN_PACKAGES)
campaign: build
	@status=0; snakemake -s workflow/Snakefile --cores $(JOBS) --keep-going --rerun-incomplete --scheduler greedy \
	  --quiet rules --config out=$(CAMPAIGN) bin=$(BUILD)/bin || status=$$?; \
	echo "== snakemake exit status $$status; the runs as $(CAMPAIGN)/campaign.h5 has them:"; \
	/usr/bin/python3 -c 'import h5py, sys; r = h5py.File(sys.argv[1])["campaign/runs"]; \
	  rows = list(zip(*(r[k].asstr()[:] if r[k].dtype.kind == "O" else r[k][:] for k in ("name", "status", "events", "reason")))); \
	  [print(f"{n:14} {s:6} {e:4} events  {w[:100]}") for n, s, e, w in rows]; \
	  bad = sorted(n for n, s, e, w in rows if s != "ok"); \
	  sys.exit(0 if bad == ["broken-0301"] else 1)' $(CAMPAIGN)/campaign.h5
	@echo "== report: $(CAMPAIGN)/campaign.html"

# The suite runs twice: optimised as shipped, and under the sanitizers, where
# any report fails the test that caused it.
test: EXTRA_PACKAGES = $(DOC_PACKAGES) $(DEB_PACKAGES) $(TEST_PACKAGES)
test: APT_OPTIONS =
test: deps
	cmake -S . -B $(TESTBUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(TESTBUILD) -j $(JOBS)
	cd $(TESTBUILD) && ctest --output-on-failure -j $(JOBS)
	cmake -S . -B $(CHECK) -DCMAKE_BUILD_TYPE=Debug -DDAQ_SANITIZE=ON >/dev/null
	cmake --build $(CHECK) -j $(JOBS)
	cd $(CHECK) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

bench: EXTRA_PACKAGES = $(BENCH_PACKAGES)
bench: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DDAQ_TESTS=OFF -DDAQ_BENCH=ON >/dev/null
	cmake --build $(BUILD) -j $(JOBS)
	$(BUILD)/bin/daq-microbench
	$(BUILD)/bin/daq-bench --summary

check-formats: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DDAQ_TESTS=OFF >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target check-formats
	$(BUILD)/bin/check-formats

format:
	clang-format -i $$(git ls-files '*.cc' '*.h' '*.hh')

# libFuzzer targets (fuzz/), FUZZ_TIME seconds each, on a copy of the
# committed seed corpus; findings land in $(FUZZ)/fuzzrun/<target>/artifacts/.
FUZZ_PACKAGES := clang libclang-rt-14-dev
FUZZ_TARGETS := fuzz_options fuzz_recording fuzz_hooks
FUZZ_TIME ?= 600
FUZZ := build-fuzz
fuzz: deps
	$(call install_missing,$(FUZZ_PACKAGES))
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDAQ_FUZZ=ON \
	  -DDAQ_TESTS=OFF >/dev/null
	cmake --build $(FUZZ) -j $(JOBS) --target $(FUZZ_TARGETS)
	@status=0; for t in $(FUZZ_TARGETS); do \
	  d=$(FUZZ)/fuzzrun/$$t; rm -rf $$d; mkdir -p $$d/artifacts; cp -r fuzz/corpus/$$t $$d/corpus; \
	  echo "== $$t: $(FUZZ_TIME) s on $$(ls $$d/corpus | wc -l) seed files"; \
	  (cd $$d && ../../bin/$$t -max_total_time=$(FUZZ_TIME) -rss_limit_mb=2048 -timeout=60 \
	    -jobs=1 -workers=1 -artifact_prefix=$(CURDIR)/$$d/artifacts/ corpus >/dev/null 2>&1); \
	  grep -h -E "^Done [0-9]+ runs" $$d/fuzz-0.log || echo "$$t: no summary, see $$d/fuzz-0.log"; \
	  echo "corpus now $$(ls $$d/corpus | wc -l) files"; \
	  if [ -n "$$(ls $$d/artifacts)" ]; then echo "FINDINGS in $$d/artifacts"; status=1; fi; \
	done; exit $$status

clean:
	rm -rf $(BUILD) $(TESTBUILD) $(CHECK) $(DEMO)
