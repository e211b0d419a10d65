# vantrel: the two everyday commands, and a few more.
BUILD ?= build
ASAN_BUILD ?= build-asan
BENCH_BUILD ?= build-bench
RELEASE_BUILD ?= build-release
FUZZ_BUILD ?= build-fuzz
DEB_BUILD ?= build-deb
JOBS ?= $(shell nproc)
# ccache, when the machine has it, keeps rebuilds after a checkout or a clean cheap.
CCACHE := $(shell command -v ccache 2>/dev/null)
CMAKE_FLAGS ?= $(if $(CCACHE),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
# The tool and the tests use precompiled headers, which ccache takes only when told to.
export CCACHE_SLOPPINESS ?= pch_defines,time_macros,include_file_mtime,include_file_ctime

.PHONY: all deps configure build release deb demo test test-drivers test-fleet test-asan bench bench-publish fuzz fuzz-smoke soak format clean

all: build

deps:
	@./scripts/install-deps.sh

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_WERROR=ON $(CMAKE_FLAGS)

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The Release configuration as a packager builds it, with warnings as errors.
release: deps
	cmake -S . -B $(RELEASE_BUILD) -DCMAKE_BUILD_TYPE=Release -DVANTREL_TESTS=OFF -DVANTREL_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(RELEASE_BUILD) -j $(JOBS)

# The Debian package, $(DEB_BUILD)/vantrel_VERSION_ARCH.deb: a Release build under /usr with the
# Python module for Debian's interpreter; install it with apt-get install ./$(DEB_BUILD)/vantrel_*.deb.
deb: deps
	cmake -S . -B $(DEB_BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
	    -DVANTREL_PYTHON_INSTALL_DIR=lib/python3/dist-packages -DVANTREL_TESTS=OFF \
	    -DVANTREL_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(DEB_BUILD) -j $(JOBS)
	cd $(DEB_BUILD) && rm -f vantrel_*.deb && cpack -G DEB

demo: build
	./$(BUILD)/vantrel demo

# A test that fails once is a fault to find: no test gets a second run.
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The tool and a C++ host inside a QEMU guest against the kernel's own serial drivers (an FTDI
# adapter and a 16550), each wired to a simulator here; installs its own Debian packages.
test-drivers: build
	./tests/drivers/run.sh $(BUILD)

# Three hosts and a central one as network namespaces, their brokers bridged, with a partition, server
# restarts and a killed recorder; every reading must arrive once (as root, about three minutes;
# LINK_DOWN=SECONDS sets the partition's length, 15 unless given). docs/fleet.md.
test-fleet: build
	./tests/fleet/fleet.py $(BUILD)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVANTREL_SANITIZE=ON -DVANTREL_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	    ctest --output-on-failure -j $(JOBS)

# Every figure of docs/performance.md, each with its reference and ratio (takes about five minutes).
bench: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_BENCH=ON -DVANTREL_TESTS=OFF -DVANTREL_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target vantrel_bench floor_client fast_responder syscall_cost micro_bench reconnect_bench
	./$(BENCH_BUILD)/bench/vantrel_bench
	./$(BENCH_BUILD)/bench/reconnect_bench 20
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target serve_bench
	./$(BENCH_BUILD)/bench/serve_bench
	./$(BENCH_BUILD)/bench/syscall_cost
	./$(BENCH_BUILD)/bench/micro_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target board_bench vantrel_python
	./$(BENCH_BUILD)/bench/board_bench

# The recorder's figures of docs/performance.md: pacing over 10 minutes, the rate against the
# wire, memory over a million records (about 11 minutes).
# The published outputs against mosquitto and influxd (started on 127.0.0.1), about a minute.
bench-publish: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_BENCH=ON -DVANTREL_TESTS=OFF -DVANTREL_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target publish_bench
	for o in none mqtt metrics http influx; do ./$(BENCH_BUILD)/bench/publish_bench $$o 10 || exit 1; done

bench-log: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_BENCH=ON -DVANTREL_TESTS=OFF -DVANTREL_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target log_bench
	./$(BENCH_BUILD)/bench/log_bench pacing 600
	./$(BENCH_BUILD)/bench/log_bench rate 20
	./$(BENCH_BUILD)/bench/log_bench memory 1000000

# Three simulated boards, their recorders and the servers they publish to, left running with faults
# on a seeded schedule; every record is then checked against what the boards converted
# (docs/soak.md). The report is $(BUILD)/soak/report.md. Debian's interpreter, which has the plots'
# matplotlib.
SOAK_MINUTES ?= 20
SOAK_SEED ?= 1
soak: build
	/usr/bin/python3 tests/soak/soak.py --build $(BUILD) --minutes $(SOAK_MINUTES) --seed $(SOAK_SEED) --out $(BUILD)/soak

# libFuzzer targets under ASan and UBSan, built with clang in $(FUZZ_BUILD).
fuzz-smoke: deps
	FUZZ_BUILD=$(FUZZ_BUILD) ./fuzz/run.sh smoke

fuzz: deps
	FUZZ_BUILD=$(FUZZ_BUILD) ./fuzz/run.sh long

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp' '*.h' '*.c')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BENCH_BUILD) $(RELEASE_BUILD) $(FUZZ_BUILD) $(DEB_BUILD) build-pip
