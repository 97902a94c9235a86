# The two commands a newcomer needs: `make run` and `make test`. Both install what a
# fresh Debian 12 machine lacks (apt-get, as root) before they build.

BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS       ?= $(shell nproc)
CMAKE_FLAGS ?= -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps build test sanitize tsan run screenshot clean fuzz-build fuzz fuzz-ci package \
        faults faults-ci soak

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# Every test: unit, integration (ptys, loopback sockets) and whole-program runs.
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DORVELGATE_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 600

# The T8 link under ThreadSanitizer: the session (stepped against a scripted server and
# the reference server), its runner thread with queues from other threads, the ring.
tsan: deps
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_FLAGS) -DORVELGATE_TSAN=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target t8link_tests
	cd $(TSAN_BUILD) && TSAN_OPTIONS="halt_on_error=1 suppressions=$(CURDIR)/tests/tsan.supp" \
	  ctest --output-on-failure -L t8link --timeout 600

# The fuzz targets of tests/fuzz (libFuzzer, clang, ASan + UBSan), each run for
# FUZZ_SECONDS from the committed seeds (FUZZ_TARGETS="..." picks some); fails when a
# target finds something.
fuzz-build:
	@scripts/install-deps.sh clang libclang-rt-14-dev
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DORVELGATE_FUZZ=ON -DORVELGATE_BUILD_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets

fuzz: fuzz-build
	FUZZ_TARGETS="$(FUZZ_TARGETS)" scripts/run-fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# The short form for CI: 30 s per target.
fuzz-ci:
	$(MAKE) fuzz FUZZ_SECONDS=30

# The fault-injection run: the real driver, station and servers for FAULT_SECONDS while
# the servers, the driver and the serial line are killed and brought back and the
# spool's file system fills up (a tmpfs: needs root, otherwise that fault is skipped).
# Prints the events acknowledged, delivered, duplicated and lost by cause.
# Then the two crash runs: for CRASH_SECONDS the driver is SIGKILLed every 3 s or so while
# the station sends 100 GB frames a second, with a T8 server that answers 50-200 ms late,
# then with none; a good server then drains the spool for at most CRASH_DRAIN_SECONDS.
# They fail on any acknowledged event lost.
# Then the two power-cut runs, the same for POWERCUT_SECONDS with each kill a power cut:
# the driver's folder is a FUSE disk that keeps only what was synced (needs root and
# /dev/fuse; without them they say so and are skipped, status 77).
# All five run; the target fails if one did.
FAULT_SECONDS ?= 300
CRASH_SECONDS ?= 120
CRASH_DRAIN_SECONDS ?= 120
POWERCUT_SECONDS ?= 120
POWERCUT_DRAIN_SECONDS ?= 120
CRASH_RUN = $(BUILD)/tests/fault-run --crash --seconds $(CRASH_SECONDS) \
            --drain-seconds $(CRASH_DRAIN_SECONDS)
POWERCUT_RUN = $(BUILD)/tests/fault-run --power-cut --seconds $(POWERCUT_SECONDS) \
               --drain-seconds $(POWERCUT_DRAIN_SECONDS)
faults: build
	@failed=0; \
	$(BUILD)/tests/fault-run --seconds $(FAULT_SECONDS) || failed=1; \
	$(CRASH_RUN) || failed=1; \
	$(CRASH_RUN) --t8-down || failed=1; \
	$(POWERCUT_RUN) || [ $$? -eq 77 ] || failed=1; \
	$(POWERCUT_RUN) --t8-down || [ $$? -eq 77 ] || failed=1; \
	exit $$failed

# The short form for CI (about 6 minutes): one fault of each kind, at least 12 kills in
# each crash run and 12 cuts in each power-cut run.
faults-ci:
	$(MAKE) faults FAULT_SECONDS=60 CRASH_SECONDS=40 CRASH_DRAIN_SECONDS=15 \
	  POWERCUT_SECONDS=40 POWERCUT_DRAIN_SECONDS=15

# The driver over time at SOAK_RATE GB frames a second with the servers flapping:
# resident memory, descriptors and CPU share after a warm-up and at the end.
SOAK_SECONDS ?= 600
SOAK_RATE ?= 100
soak: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target soak
	$(BUILD)/bench/soak/soak --seconds $(SOAK_SECONDS) --rate $(SOAK_RATE)

# The Debian packages: $(BUILD)/orvelgate_<version>_<arch>.deb (the driver, its systemd
# unit, desktop entry, example configuration and manual pages, for /usr) and
# orvelgate-tools_<version>_<arch>.deb (the reference peers); their debug information
# in <package>-dbgsym_<version>_<arch>.ddeb. lintian checks them; an error fails.
package:
	@scripts/install-deps.sh dpkg-dev lintian
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build $(BUILD) -j $(JOBS) --target $(DEMO_TARGETS) packaging_docs
	rm -f $(BUILD)/orvelgate*.deb $(BUILD)/orvelgate*.ddeb
	cd $(BUILD) && cpack -G DEB
	lintian --fail-on error $(BUILD)/orvelgate*.deb

# The driver with its demo wiring: a simulated station, the reference servers and a
# stand-in for systemd's notification socket. Only these programs are built, not the tests.
DEMO_TARGETS = orvelgate station-sim t8-server t7-server notify-listener
run: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target $(DEMO_TARGETS)
	scripts/demo.sh $(BUILD)

# Pictures of the main window with the demo running, the access-code dialog and the
# message box, under a virtual display with a window manager: $(BUILD)/screenshot*.png.
screenshot: build
	@scripts/install-deps.sh x11-apps x11-utils imagemagick icewm xdotool
	scripts/screenshot.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
