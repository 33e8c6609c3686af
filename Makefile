# Tonbrik: `make run` starts the program, `make test` builds and runs every test.
JOBS ?= $(shell nproc)
NATIVE_TYPE ?= RelWithDebInfo
# Warnings stop the test builds (`make test`, and so CI), not a user's own build
# (see CMakeLists.txt). Unset, a build keeps the choice it was configured with, so
# `make run` after `make test` does not compile everything again.
WERROR ?=
CONFIGURE = cmake -S . $(if $(WERROR),-DTONBRIK_WARNINGS_AS_ERRORS=$(WERROR))
# The native engines, as a user's or packager's optimised build compiles them.
ENGINES = tonbrik_platform tonbrik_common tonbrik_synth tonbrik_audio tonbrik_midi tonbrik_app_core

.PHONY: all deps native asan tsan release windows test run bench format clean

all: native windows

deps:
	@scripts/install-deps.sh

native: deps
	$(CONFIGURE) -B build/native -DCMAKE_BUILD_TYPE=$(NATIVE_TYPE) > /dev/null
	cmake --build build/native -j $(JOBS)

asan: deps
	$(CONFIGURE) -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTONBRIK_SANITIZE=address > /dev/null
	cmake --build build/asan -j $(JOBS)

tsan: deps
	$(CONFIGURE) -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTONBRIK_SANITIZE=thread > /dev/null
	cmake --build build/tsan -j $(JOBS)

release: deps
	$(CONFIGURE) -B build/release -DCMAKE_BUILD_TYPE=Release > /dev/null
	cmake --build build/release -j $(JOBS) --target $(ENGINES)

windows: deps
	$(CONFIGURE) -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Release > /dev/null
	cmake --build build/windows -j $(JOBS)

# Set for `test` and, through it, for every build it needs.
test: WERROR = ON
test: native asan tsan release windows
	@scripts/run-tests.sh

run: windows
	@scripts/run.sh

bench: native
	build/native/bench/tonbrik_bench --benchmark_counters_tabular=true
	@echo "MIDI-to-sound latency and jitter under Wine: bench/midi_timing.sh build/windows (README, Timing)"

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
