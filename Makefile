# Wraps the two cross builds (32-bit product, 64-bit build for Wine) and their tests.
BUILD_TYPE ?= Release
JOBS ?= 2
# Wine tests wait more than they compute: a third one beside the two fills the gaps.
TEST_JOBS ?= 3

.PHONY: all deps build test demo bench clean release verify-release mutants windows-suite explorer-race

all: build

deps:
	@sh release/install-deps.sh

build/win32/CMakeCache.txt: | deps
	cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build/win64/CMakeCache.txt: | deps
	cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

# The file to ship is build/win32/ScarvelRepair.exe; the build is reproducible, so its
# SHA-256 identifies it.
build: deps build/win32/CMakeCache.txt build/win64/CMakeCache.txt
	cmake --build build/win32 -j $(JOBS)
	cmake --build build/win64 -j $(JOBS)
	@sha256sum build/win32/ScarvelRepair.exe

# Both builds' suites side by side, each on machines of its own (most of a Wine test is
# waiting); the 64-bit build's report follows the product's. The bed says first whether
# this machine runs each build's programs; the last lines name what did not run, and why,
# from each run's JUnit file (every entry's whole output in it).
CTEST_FLAGS = --output-on-failure -j $(TEST_JOBS) --output-junit ctest.xml --test-output-size-passed 50000000 --test-output-size-failed 50000000
test: build
	@/usr/bin/python3 tests/e2e/bed.py build/win32 build/win64
	@status=0; \
	rm -f build/win32/ctest.xml build/win64/ctest.xml; \
	ctest --test-dir build/win64 $(CTEST_FLAGS) >build/win64/ctest.log 2>&1 & \
	ctest --test-dir build/win32 $(CTEST_FLAGS) || status=1; \
	wait $$! || status=1; \
	cat build/win64/ctest.log; \
	/usr/bin/python3 tests/e2e/summary.py build/win32 build/win64; \
	exit $$status

# A damaged machine under Wine repaired by the product (the 64-bit build where this
# machine cannot run 32-bit code), before and after.
demo: build
	/usr/bin/python3 tools/demo.py build/win32 build/win64

# The GoogleTest suite for a Windows machine (docs/testing.md, "On a real Windows"): the
# product's build's windows_suite target writes build/windows-suite/ and its zip.
windows-suite: deps build/win32/CMakeCache.txt
	cmake --build build/win32 -j $(JOBS) --target windows_suite
	@ls -d build/windows-suite build/windows-suite.zip

clean:
	rm -rf build

# The mutation score of the 32-bit build's suites (docs/testing.md, "The tools"); a measure,
# not part of make test. MUTANTS=N samples N mutants, SEED= picks them, JOBS defaults to 1 here.
mutants: deps
	@/usr/bin/python3 tools/mutants.py

# The race in Wine's rpcrt4 that can hang Explorer, with and without the in-process suite's
# hold of Explorer's objects (docs/testing.md); a measure, not part of make test, on the
# 64-bit build, which runs wherever Wine does.
explorer-race: build
	/usr/bin/python3 tools/explorer_race.py build/win64

# Whole-run wall times under Wine of each build's tool, two floors of its bitness, a batch file.
bench: build
	/usr/bin/python3 tools/bench/bench.py build/win32 build/win64

# The release folder: the product built from clean, signed when SIGN_CERT and SIGN_KEY
# are given (docs/releasing.md), the unattended runner, BUILDINFO and the sums. The script
# installs what a release needs itself, once it has taken the PIN out of the environment.
DIST ?= dist
release:
	@sh release/make-release "$(DIST)"

# Anyone's check of a release: the commit its BUILDINFO names, which must be in this
# checkout's history, rebuilt; its signature attached; its signer one of HEAD's
# resources/signers.txt or SIGNER; the chains verified up to CA when given, revocation
# against the CRL files when given. It installs only what it needs, and only as root.
verify-release:
	@sh release/verify-release "$(DIST)" "$(CA)" "$(SIGNER)" "$(CRL)"
