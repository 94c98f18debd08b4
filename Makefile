# The two commands a new user needs: `make demo` and `make test`. Both install what is
# missing first (tools/setup.sh), then build the host and Windows configurations.
.PHONY: all setup build build-host build-win32 build-windows build-fuzz demo test bench clean

# The Windows configuration whose tests this machine can run (tools/windows-preset.sh).
WINDOWS_PRESET = $(shell bash tools/windows-preset.sh)

all: build

setup:
	@bash tools/setup.sh

build-host: setup
	@cmake --preset host >/dev/null
	@cmake --build --preset host

build-win32: setup
	@cmake --preset win32 >/dev/null
	@cmake --build --preset win32

# The 64-bit fallback, built only where 32-bit Wine cannot run.
build-windows: build-win32
	@if [ "$(WINDOWS_PRESET)" != win32 ]; then \
	  cmake --preset $(WINDOWS_PRESET) >/dev/null && cmake --build --preset $(WINDOWS_PRESET); fi

build-fuzz: setup
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz

build: build-host build-windows build-fuzz

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
