# Entry points; the work is done by the scripts and CMake.
.PHONY: test demo build clean

test:
	scripts/test.sh

demo:
	scripts/demo.sh

build:
	scripts/install-deps.sh
	cmake --preset host && cmake --build build/host
	cmake --preset windows && cmake --build build/windows

clean:
	rm -rf build
