# The two commands of the project:
#   make run    boots the simulated board and records (DURATION=seconds, SCENARIO=file)
#   make test   installs or checks what the build needs, builds everything, runs every test
# and their helpers:
#   make build           build only (debug, in build/)
#   make test-sanitize   the same test suite built optimised with AddressSanitizer + UBSan
#                        (build-asan/)
#   make release         optimised build in build-release/ (benchmarks: make bench)
#   make test-release    the whole suite on the optimised build
#   make cross           the box build: 32-bit ARM, the programs, their unit tests and the kernel
#                        modules (build-cross/)
#   make test-cross      those unit tests under qemu-arm
#   make torture         power cuts against the recorder on the crash-faithful card (CUTS, SEED)
#   make soak            the recorder on a small card until its ring has wrapped five times
#   make fuzz            the libFuzzer targets (clang, ASan + UBSan, build-fuzz/), each run for
#                        SECONDS (default 60)
# WERROR=ON makes the compiler's warnings errors (CI builds with it).

JOBS     ?= $(shell nproc)
BUILD    ?= build
ASAN     ?= build-asan
RELEASE  ?= build-release
CROSS    ?= build-cross
FUZZ     ?= build-fuzz
SECONDS  ?= 60
DURATION ?=
SCENARIO ?= scenarios/demo.txt
ROOT     ?= board
CTEST_ARGS ?=
CUTS     ?= 200
SEED     ?=
WERROR   ?=
WERROR_ARG = $(if $(WERROR),-DDASHCAM_WERROR=$(WERROR))

.PHONY: all deps build test test-sanitize release test-release cross test-cross bench fuzz run \
        torture soak clean format

all: build

deps:
	@bash scripts/deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Debug $(WERROR_ARG)

build: deps $(BUILD)/CMakeCache.txt
	$(if $(WERROR),cmake $(BUILD) $(WERROR_ARG))
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

test-sanitize: deps
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDASHCAM_SANITIZE=ON -DDASHCAM_BENCH=OFF \
	  $(WERROR_ARG)
	cmake --build $(ASAN) -j $(JOBS)
	cd $(ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

release: deps
	cmake -S . -B $(RELEASE) -DCMAKE_BUILD_TYPE=Release $(WERROR_ARG)
	cmake --build $(RELEASE) -j $(JOBS)

test-release: release
	cd $(RELEASE) && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

# The box build (cmake/arm-linux-gnueabi.cmake): recorder, volcheck and asdtool with the board
# seam, statically linked; the unit tests that need no simulated board; the kernel modules
# compiled for the ARM920T (build-cross/modules/*.o). ctest runs the tests under qemu-arm.
cross: deps
	cmake -S . -B $(CROSS) -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake \
	  -DCMAKE_BUILD_TYPE=Release $(WERROR_ARG)
	cmake --build $(CROSS) -j $(JOBS)

test-cross: cross
	cd $(CROSS) && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

# One target at a time, SECONDS each, on fuzz/corpus/<target> and what earlier runs kept in
# $(FUZZ)/corpus (scripts/fuzz.sh). Fails on a crash, a hang or a sanitizer report.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ) -DCMAKE_BUILD_TYPE=Debug -DDASHCAM_FUZZ=ON \
	  -DDASHCAM_BENCH=OFF -DASDTOOL_VIEW=OFF -DASDTOOL_VIDEO=OFF
	cmake --build $(FUZZ) -j $(JOBS) --target fuzz_targets
	bash scripts/fuzz.sh $(SECONDS) $(FUZZ)

# Every benchmark, then the table of figures against their anchors (also in
# $(RELEASE)/bench/results.json; scripts/bench-readme.sh puts it into the README).
bench: release
	@bash bench/run.sh $(RELEASE)

# The build says only how far it is (scripts/quiet-build.sh), then the board speaks. The board
# prints the card's summary (asdtool summary) itself once it has stopped, also after Ctrl-C (which
# the recipe's shell waits out), and then how to watch the card. SCENARIO= (empty) runs without
# a scenario, until Ctrl-C or DURATION.
CARD = $(ROOT)/mnt/mmcblk0p1

run: deps
	@bash scripts/quiet-build.sh $(BUILD) $(JOBS)
	@if [ ! -x $(BUILD)/bin/simboard ]; then \
	  echo "The simulated board is not built yet: there is nothing to run."; exit 1; fi
	@trap : INT; \
	$(BUILD)/bin/simboard --root $(ROOT) $(if $(SCENARIO),--scenario $(SCENARIO)) \
	  $(if $(DURATION),--duration $(DURATION)) --summary; \
	status=$$?; \
	echo; \
	echo "Watch the card in a browser:  $(BUILD)/bin/asdtool view $(CARD)  (then open http://127.0.0.1:8080/)"; \
	echo "Export an event as videos:    $(BUILD)/bin/asdtool export $(CARD) event1 --event 1 --combined"; \
	exit $$status

# Exits non-zero when a lock was lost, a locked file overwritten or a closed file damaged.
torture: build
	$(BUILD)/bin/card_torture --cuts $(CUTS) $(if $(SEED),--seed $(SEED))

soak: build
	$(BUILD)/bin/card_soak

format:
	git ls-files '*.cpp' '*.hpp' '*.h' '*.c' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN) $(RELEASE) $(CROSS) $(FUZZ)
