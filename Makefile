# The project's commands. Each installs what is missing first (Debian 12).
#   make test   build everything; run the native and the Wine test suites
#   make dll    build the 32-bit zqlusb.dll alone (build/win32/zqlusb.dll)
#   make bench  build and run the native benchmark; prints the summary table

.PHONY: all deps test test-native test-wine native win32 dll bench clean format

all: native win32

deps:
	@./tools/install-deps

build/native/build.ninja: | deps
	cmake --preset native >/dev/null

build/win32/build.ninja: | deps
	cmake --preset win32 >/dev/null

native: build/native/build.ninja
	cmake --build --preset native

win32: build/win32/build.ninja
	cmake --build --preset win32

dll: build/win32/build.ninja
	cmake --build --preset win32 --target zqlusb

# Five repetitions of each case; the table uses their medians.
bench: build/native/build.ninja
	cmake --build --preset native --target zqlusb_bench
	build/native/bench/zqlusb_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

test-native: native
	ctest --preset native

test-wine: win32
	ctest --preset win32

test: test-native test-wine

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
