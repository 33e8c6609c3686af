# Tonbrik: `make run` starts the program, `make test` builds and runs every test.
JOBS ?= $(shell nproc)
NATIVE_TYPE ?= RelWithDebInfo

.PHONY: all deps native asan tsan windows test run bench format clean

all: native windows

deps:
	@scripts/install-deps.sh

native: deps
	cmake -S . -B build/native -DCMAKE_BUILD_TYPE=$(NATIVE_TYPE) > /dev/null
	cmake --build build/native -j $(JOBS)

asan: deps
	cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTONBRIK_SANITIZE=address > /dev/null
	cmake --build build/asan -j $(JOBS)

tsan: deps
	cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTONBRIK_SANITIZE=thread > /dev/null
	cmake --build build/tsan -j $(JOBS)

windows: deps
	cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Release > /dev/null
	cmake --build build/windows -j $(JOBS)

test: native asan tsan windows
	@scripts/run-tests.sh

run: windows
	@scripts/run.sh

bench: native
	build/native/bench/tonbrik_bench --benchmark_counters_tabular=true

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
