# The project's commands. Each installs what is missing first (Debian 12).
#   make demo      build natively and run a whole session on the virtual
#                  instrument; transcript on the terminal, plots in demo-output/
#   make test      build everything and run every lane: native (plain, and under
#                  ASan and UBSan); the shipping 32-bit DLLs in an emulated x86
#                  processor; the 32- and 64-bit DLLs under Wine; the
#                  virtual-instrument DLLs; the 64-bit DLL unmodified through
#                  Wine and the virtual Zelqa driver; the package; the fuzz
#                  seed corpus and a short fuzz budget
#   make test-x86-wine   the x86 end-to-end checks that only real 32-bit Wine
#                  answers, through qemu-user where the kernel runs no i386 code
#   make dll       build the 32-bit zqlusb.dll alone (build/win32/zqlusb.dll)
#   make package   dist/zqlusb-<version>-windows.zip
#   make bench     build and run the native benchmark; prints the summary table
#   make fuzz      run the fuzz target for FUZZ_SECONDS seconds (default 60)
#   make fuzz-coverage   source coverage of the library by the seed corpus

WINDOWS := win32 win64 win32-virtual win64-virtual
TREES := native native-asan $(WINDOWS)

.PHONY: all bench demo deps test test-x86-emulated test-x86-wine test-wine test-package test-fuzz $(addprefix test-,$(TREES)) $(TREES) dll \
	package fuzz fuzz-build fuzz-coverage clean format

all: $(TREES)

deps:
	@./tools/install-deps

build/%/build.ninja: | deps
	cmake --preset $* >/dev/null

$(TREES): %: build/%/build.ninja
	cmake --build --preset $@

demo: native
	./build/native/zqlscope/zqlscope demo --out demo-output
	@echo "Open demo-output/capture.svg, roll.svg and pretrigger.svg in a browser to see the plots."

dll: build/win32/build.ninja
	cmake --build --preset win32 --target zqlusb

# The 32-bit lanes run 32-bit Wine. On a machine that runs no 32-bit code
# (tools/can-run-32-bit says why) they are built but not run, and say so.
WITH_32_BIT = case $(1) in win32*) ./tools/can-run-32-bit || { echo "test-$(1): NOT RUN"; exit 0; } ;; esac

$(addprefix test-,$(TREES)): test-%: %
	@$(call WITH_32_BIT,$*); echo ctest --preset $*; ctest --preset $*

# Five repetitions of each case; the table uses their medians. Then the
# emulated x86 processor's cost beside the native library.
bench: build/native/build.ninja win32
	cmake --build --preset native --target zqlusb_bench
	build/native/bench/zqlusb_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
	cmake --build --preset native --target zqlusb_trace_bench
	build/native/bench/zqlusb_trace_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
	cmake --build --preset native --target zqlusb_x86_cost
	build/native/tests/zqlusb_x86_cost

# The x86 lane: the shipping 32-bit zqlusb.dll and trace DLL of build/win32,
# as built, in an emulated x86 processor inside native test programs (it
# needs no 32-bit support from the kernel). After the summary: the roll
# decode's path on each processor model, and the emulation's cost.
test-x86-emulated: native win32
	ctest --preset x86-emulated
	@sed -n -e 's/^roll decode on/  &/p' -e 's/^  \(USB.*ratio\)/  \1/p' build/native/Testing/Temporary/LastTest.log

# The x86 end-to-end checks that only real 32-bit Wine can answer: the
# 32-bit DLL unmodified through Wine's SetupAPI, kernel32 and user32 and the
# virtual Zelqa driver (the win32-driver lane), and the package's x86
# programs. Where the kernel runs no i386 code they run through qemu-user in
# a namespace of their own (tools/x86-wine), which takes long.
test-x86-wine: win32 win64 build/package/build.ninja $(WINDOWS)
	@./tools/can-run-32-bit 2>/dev/null || ./tools/can-run-32-bit --qemu
	./tools/x86-wine ctest --preset win32-driver
	@$(call DRIVER_FIGURES,win32)
	./tools/x86-wine ctest --test-dir build/package --output-on-failure

fuzz-build: build/fuzz/build.ninja
	cmake --build --preset fuzz

# The committed seed corpus once, then a short fixed budget.
test-fuzz: fuzz-build
	ctest --preset fuzz

FUZZ_SECONDS ?= 60
fuzz: fuzz-build
	./tools/fuzz-run build/fuzz/fuzz/zqlusb_fuzz $(FUZZ_SECONDS) build/fuzz/run

# Source coverage of the library by the seed corpus.
fuzz-coverage: fuzz-build
	./tools/fuzz-coverage

test-wine: test-win32 test-win64

# The package lane: makes the zip from the four Windows trees and checks it.
build/package/build.ninja: | deps
	cmake -S tests/package -B build/package -G Ninja >/dev/null

test-package: $(WINDOWS) build/package/build.ninja
	ctest --test-dir build/package --output-on-failure
	@for w in "x86 i386 i686 win32" "x64 x86-64 x86_64 win64"; do set -- $$w; \
	  ./tools/check-dll --machine $$2 $$3-w64-mingw32-objdump build/$$4/zqlusb.dll include/zqlusb.def | \
	  sed -n "s/.*; size: \([^;]*\);.*/shipping zqlusb.dll, $$1: \1/p"; done

package: $(WINDOWS)
	./tools/package $(foreach name,$(PENDING),--pending $(name))

test: test-native test-native-asan test-x86-emulated test-win32 test-win64 test-win32-virtual test-win64-virtual \
	test-win64-driver test-package test-fuzz
	@./tools/can-run-32-bit 2>/dev/null || echo "make test: passed, but the win32 and win32-virtual lanes and the package's \
	32-bit programs were NOT RUN: they need real 32-bit Wine, and this machine runs no 32-bit code (tools/can-run-32-bit); \
	the x86-emulated lane ran the shipping 32-bit DLLs, and make test-x86-wine runs the rest through qemu-user"

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c')

clean:
	rm -rf build

# The driver lanes: the shipping DLL unmodified, through Wine and the virtual
# Zelqa driver (both install the 64-bit driver into build/wine-driver).
.PHONY: test-win64-driver test-win32-driver
# Each prints its figures after the summary: the round trip of one request
# beside the stand-in, and the roll rate of zqlscope.exe through the driver.
DRIVER_FIGURES = sed -n -e 's/^\(per request\|ready probe\|16 KiB stream\|64 KiB read\|driver status\)/  &/p' \
	-e 's/^roll through the driver/  &/p' build/$(1)/Testing/Temporary/LastTest.log
test-win64-driver: win64
	ctest --preset win64-driver
	@$(call DRIVER_FIGURES,win64)
test-win32-driver: win32 win64
	@$(call WITH_32_BIT,win32-driver); echo ctest --preset win32-driver; ctest --preset win32-driver && \
	  $(call DRIVER_FIGURES,win32)
