# The two commands a new user needs: `make demo` and `make test`. Both install what is
# missing first (tools/setup.sh), then build the host and Windows configurations.
.PHONY: all setup build build-host build-win32 build-fuzz demo test bench clean

all: build

setup:
	@bash tools/setup.sh

build-host: setup
	@cmake --preset host >/dev/null
	@cmake --build --preset host

build-win32: setup
	@cmake --preset win32 >/dev/null
	@cmake --build --preset win32

build-fuzz: setup
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz

build: build-host build-win32 build-fuzz

demo: build
	@bash tools/demo.sh

test: build
	@bash tools/run-tests.sh

bench: setup
	@cmake --preset bench >/dev/null
	@cmake --build --preset bench
	@bash tools/bench.sh

clean:
	rm -rf build
