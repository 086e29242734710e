# The project's commands. Each installs what is missing first (Debian 12).
#   make test   build everything; run the native suite (plain and under ASan and
#               UBSan), the Wine suite, the seed corpus and a short fuzz budget
#   make dll    build the 32-bit zqlusb.dll alone (build/win32/zqlusb.dll)
#   make fuzz   run the fuzz target for FUZZ_SECONDS seconds (default 60)
#   make fuzz-coverage   source coverage of the library by the seed corpus

.PHONY: all deps test test-native test-asan test-wine test-fuzz native native-asan win32 fuzz-build fuzz fuzz-coverage dll clean format

all: native win32

deps:
	@./tools/install-deps

build/native/build.ninja: | deps
	cmake --preset native >/dev/null

build/native-asan/build.ninja: | deps
	cmake --preset native-asan >/dev/null

build/win32/build.ninja: | deps
	cmake --preset win32 >/dev/null

build/fuzz/build.ninja: | deps
	cmake --preset fuzz >/dev/null

native: build/native/build.ninja
	cmake --build --preset native

native-asan: build/native-asan/build.ninja
	cmake --build --preset native-asan

win32: build/win32/build.ninja
	cmake --build --preset win32

fuzz-build: build/fuzz/build.ninja
	cmake --build --preset fuzz

dll: build/win32/build.ninja
	cmake --build --preset win32 --target zqlusb

test-native: native
	ctest --preset native

test-asan: native-asan
	ctest --preset native-asan

test-wine: win32
	ctest --preset win32

# The committed seed corpus once, then a short fixed budget.
test-fuzz: fuzz-build
	ctest --preset fuzz

test: test-native test-asan test-wine test-fuzz

FUZZ_SECONDS ?= 60
fuzz: fuzz-build
	./tools/fuzz-run build/fuzz/fuzz/zqlusb_fuzz $(FUZZ_SECONDS) build/fuzz/run

# Source coverage of the library by the seed corpus.
fuzz-coverage: fuzz-build
	./tools/fuzz-coverage

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
