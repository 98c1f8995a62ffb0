# Front door: `make demo` tries the plug-in with no hardware; `make test`
# runs the native, sanitizer and ARM (armhf, armel, arm64) suites, the
# armhf suite once more on an emulated ARM board (`make test-board`), the
# threaded tests under ThreadSanitizer, the native suite under valgrind and
# a short fuzz run.
CROSS := armhf armel arm64
PRESETS := native asan $(CROSS) tsan
FUZZ_SECONDS ?= 10

BUILD_TARGETS := $(addprefix build-,$(PRESETS))
TEST_TARGETS := $(addprefix test-,$(PRESETS))

.PHONY: all deps demo test test-board fuzz valgrind bench package coverage clean $(BUILD_TARGETS) $(TEST_TARGETS)

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

test: deps
	$(MAKE) test-native
	$(MAKE) test-asan
	$(MAKE) test-armhf
	@scripts/check-cross.sh armhf
	$(MAKE) test-board
	$(MAKE) test-armel
	@scripts/check-cross.sh armel
	$(MAKE) test-arm64
	@scripts/check-cross.sh arm64
	$(MAKE) test-tsan
	$(MAKE) valgrind
	$(MAKE) fuzz

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

# Debian packages kxser and kxser-dev for amd64, armhf, armel and arm64, in
# build/packages, each checked by Debian's lintian: an error or a warning
# fails the target (deliberate exceptions are overridden in
# cmake/kxser.lintian-overrides, with the reason).
package: build-native $(addprefix build-,$(CROSS))
	mkdir -p build/packages
	rm -f build/packages/*.deb
	cd build/native && cpack -B ../packages >/dev/null
	cd build/armhf && cpack -B ../packages >/dev/null
	cd build/armel && cpack -B ../packages >/dev/null
	cd build/arm64 && cpack -B ../packages >/dev/null
	lintian --fail-on error,warning build/packages/*.deb
	@ls -1 build/packages/*.deb

clean:
	rm -rf build
