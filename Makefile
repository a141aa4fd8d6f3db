# Two commands on a fresh Debian machine:
#   make demo   installs what is missing, builds, runs the installer on the demo package
#   make test   installs what is missing, builds every preset, runs every test
SHELL := /bin/bash
.PHONY: deps test soak demo bench native asan win32 win64 fuzz fuzz-run clean

deps:
	@scripts/install-deps.sh

native asan win32 win64: deps
	@cmake --preset $@ >/dev/null
	@cmake --build --preset $@

fuzz: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz

# Short fixed-time fuzzing runs of every target.
fuzz-run: fuzz
	@scripts/run-fuzzers.sh build/fuzz 20

test: native asan win32 fuzz-run
	@ctest --preset native -LE soak
	@ctest --preset asan -LE soak
	@scripts/test-windows.sh -LE soak

bench: native
	@scripts/run-bench.sh

# Heavy runs, never part of `make test`: the native and Windows tests
# labelled soak (sparse files beyond 4 GiB), then packages of hundreds of megabytes to
# gigabytes built and installed under Wine (bench/soak-bigpkg.sh), and
# `upkit diff` + `build` of 1 GiB and 6 GiB file pairs (bench/soak-bigdiff.sh).
soak: native win32
	@ctest --preset native -L soak
	@scripts/test-windows.sh -L soak
	@cmake --preset win32 >/dev/null && cmake --build --preset win32 --target upkit-stub
	@if [ "$$(scripts/wine-arch.sh)" = win64 ]; then cmake --preset win64 >/dev/null && cmake --build --preset win64 --target upkit-stub upkit-robot upkit-embed; fi
	@bench/soak-bigpkg.sh
	@bench/soak-bigdiff.sh

demo: native win32
	@if [ "$$(scripts/wine-arch.sh)" = win64 ]; then $(MAKE) --no-print-directory win64; fi
	@UPKIT_WIN32_BUILD=$(CURDIR)/build/$$(scripts/wine-arch.sh) scripts/demo.sh

clean:
	rm -rf build
