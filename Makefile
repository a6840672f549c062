# Entry points; the work is done by the scripts and CMake. scripts/owned.py
# stops whatever a command leaves running (Wine's server and services, Xvfb,
# nginx) once it has returned.
.PHONY: test demo build clean stress bench

test:
	scripts/owned.py scripts/test.sh

# SIGNED=1 signs the release and builds the updater with the public key.
demo:
	SIGNED=$(SIGNED) scripts/owned.py scripts/demo.sh

# The long runs: each fuzz target for 10 minutes, in a build of its own so the
# short runs of make test keep their setting; then the long end-to-end stress
# (more kill points, 50 soak runs) against the existing Windows build.
stress:
	scripts/install-deps.sh
	cmake --preset fuzz -B build/fuzz-stress -DUPDATER_FUZZ_SECONDS=600
	cmake --build build/fuzz-stress --target fuzz_all
	ctest --test-dir build/fuzz-stress --output-on-failure -j "$$(nproc)"
	env -u DISPLAY UPDATER_STRESS=1 scripts/owned.py timeout 3600 scripts/with-wine-env.sh tests/e2e/stress_test.py

# Our code against md5sum, curl and a 50 ms target; writes docs/benchmarks.md.
# Not part of make test. BENCH_RUNS, BENCH_CASES: see bench/bench.py.
bench:
	scripts/owned.py scripts/bench.sh

build:
	scripts/install-deps.sh
	cmake --preset host && cmake --build build/host
	cmake --preset windows && cmake --build build/windows

clean:
	rm -rf build
