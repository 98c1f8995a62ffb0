# Front door: `make demo` tries the plug-in with no hardware; `make test`
# runs the native, sanitizer and ARM (armhf, armel, arm64) suites, the
# armhf suite once more on an emulated ARM board (`make test-board`), the
# side-by-side install of the amd64, armhf and arm64 packages
# (`make check-multiarch`), the threaded tests under ThreadSanitizer, the
# native suite under valgrind and a short fuzz run.
CROSS := armhf armel arm64
PRESETS := native asan $(CROSS) tsan
FUZZ_SECONDS ?= 10

BUILD_TARGETS := $(addprefix build-,$(PRESETS))
TEST_TARGETS := $(addprefix test-,$(PRESETS))

.PHONY: all deps demo test test-board check-multiarch fuzz valgrind bench package coverage clean $(BUILD_TARGETS) $(TEST_TARGETS)

all: build-native

deps:
	@scripts/install-deps.sh

$(BUILD_TARGETS): build-%: deps
	cmake --preset $* >/dev/null
	cmake --build --preset $*

$(TEST_TARGETS): test-%: build-%
	ctest --preset $*

# A first try needs only the native plug-in and kxhost: their packages and
# those two targets, in a build folder of their own.
demo:
	@scripts/install-deps.sh --demo
	cmake --preset demo >/dev/null
	cmake --build build/demo --target kxSer kxhost
	@scripts/demo.sh build/demo

# The suites spend most of their time waiting on peers, lines and
# time-outs, so each runs while the next build compiles (-O keeps each
# one's output together). The board, the side-by-side package check,
# tsan, valgrind and the fuzzers run alone. The time of each stage is
# printed at the end (build/stages.txt).
test: deps
	@scripts/stage.sh --reset
	@$(MAKE) --no-print-directory stage-build-native
	@$(MAKE) --no-print-directory -j2 -O stage-test-native stage-build-asan
	@$(MAKE) --no-print-directory -j2 -O stage-test-asan stage-build-armhf
	@$(MAKE) --no-print-directory -j2 -O stage-cross-armhf stage-build-armel
	@$(MAKE) --no-print-directory -j2 -O stage-cross-armel stage-build-arm64
	@$(MAKE) --no-print-directory -j2 -O stage-cross-arm64 stage-build-tsan
	@$(MAKE) --no-print-directory stage-multiarch
	@$(MAKE) --no-print-directory stage-board
	@$(MAKE) --no-print-directory stage-test-tsan
	@$(MAKE) --no-print-directory stage-valgrind
	@$(MAKE) --no-print-directory stage-fuzz
	@scripts/stage.sh --report

# The stages of make test (deps already done), each timed by scripts/stage.sh.
.SECONDARY:
STAGE := @scripts/stage.sh
# Builds run niced: beside a suite, its tests (and qemu's signal delivery)
# get a core the moment they wake.
stage-build-%:
	$(STAGE) $*-build nice -n 19 sh -c 'cmake --preset $* >/dev/null && cmake --build --preset $*'
stage-test-%:
	$(STAGE) $*-tests ctest --preset $*
stage-cross-%: stage-test-%
	$(STAGE) $*-abi scripts/check-cross.sh $*
stage-multiarch:
	$(STAGE) multiarch scripts/check-multiarch.sh
stage-board:
	$(STAGE) board scripts/board/run.sh build/armhf
stage-valgrind:
	$(STAGE) valgrind scripts/valgrind.sh
stage-fuzz:
	$(STAGE) fuzz scripts/fuzz.sh build/asan/fuzz $(FUZZ_SECONDS)

# Kxser of amd64, armhf and arm64 installed side by side, each loaded by its
# own host (scripts/check-multiarch.sh; root).
check-multiarch: build-native build-armhf build-arm64
	@scripts/check-multiarch.sh

# The armhf build inside QEMU's virt board on Debian's armmp kernel, with a
# real UART and a real /dev/gpio (scripts/board/run.sh).
test-board: build-armhf
	@scripts/board/run.sh build/armhf

# Every native test executable once under valgrind memcheck.
valgrind: build-native
	@scripts/valgrind.sh

fuzz: build-asan
	@scripts/fuzz.sh build/asan/fuzz $(FUZZ_SECONDS)

# The native suite on a build with gcov counters; the report of src/ goes to
# build/coverage/report/index.html and its summary to the terminal.
coverage: deps
	cmake --preset coverage >/dev/null
	cmake --build --preset coverage
	find build/coverage -name '*.gcda' -delete
	ctest --preset coverage
	@scripts/coverage.sh build/coverage

bench: build-native
	@scripts/bench.sh

# Debian packages kxser, kxser-dev and kxhost for amd64, armhf, armel and
# arm64, in build/packages, each checked by Debian's lintian: an error or a warning
# fails the target (deliberate exceptions are overridden in
# cmake/kxser.lintian-overrides, with the reason). They come from build trees
# of their own without the suites (build/pkg-<arch>, the pkg-* presets), which
# build only what the packages hold; make test builds and checks the suites'.
PACKAGE_TREES := $(addprefix package-,amd64 $(CROSS))
.PHONY: $(PACKAGE_TREES)
package:
	@scripts/install-deps.sh --package
	@$(MAKE) --no-print-directory -j2 -O $(PACKAGE_TREES)
	mkdir -p build/packages
	rm -f build/packages/*.deb
	cp build/pkg-*/debs/*.deb build/packages/
	lintian --fail-on error,warning build/packages/*.deb
	@ls -1 build/packages/*.deb

$(PACKAGE_TREES): package-%:
	cmake --preset pkg-$* >/dev/null
	cmake --build build/pkg-$*
	rm -rf build/pkg-$*/debs
	cd build/pkg-$* && cpack -B debs >/dev/null

clean:
	rm -rf build
