# Wraps the two cross builds (32-bit product, 64-bit build for Wine) and their tests.
BUILD_TYPE ?= Release
JOBS ?= 2

.PHONY: all deps build test demo bench clean

all: build

deps:
	@sh cmake/install-deps.sh

build/win32/CMakeCache.txt: | deps
	cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build/win64/CMakeCache.txt: | deps
	cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: deps build/win32/CMakeCache.txt build/win64/CMakeCache.txt
	cmake --build build/win32 -j $(JOBS)
	cmake --build build/win64 -j $(JOBS)

test: build
	ctest --test-dir build/win64 --output-on-failure -j $(JOBS)
	ctest --test-dir build/win32 --output-on-failure -j $(JOBS)

# A damaged machine under Wine repaired by the 64-bit build, before and after.
demo: build
	/usr/bin/python3 tests/e2e/demo.py build/win64

clean:
	rm -rf build

# Whole-run wall times under Wine: the tool, a program that only pauses, a batch file.
BENCH_FLOOR = build/win64/bench/bench_floor.exe
BENCH_FLOOR_DLLS = build/win64/bench/bench_floor_dlls.exe
BENCH_CXX = x86_64-w64-mingw32-g++-posix -Os -Wall -Wextra -municode -static -s
bench: build
	mkdir -p build/win64/bench
	$(BENCH_CXX) -o $(BENCH_FLOOR) tests/bench/floor.cpp
	$(BENCH_CXX) -DWITH_TOOL_IMPORTS -o $(BENCH_FLOOR_DLLS) tests/bench/floor.cpp \
		-lshlwapi -lshell32 -lole32 -ladvapi32
	/usr/bin/python3 tests/bench/bench.py build/win64 $(BENCH_FLOOR) $(BENCH_FLOOR_DLLS)
