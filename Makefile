# The two commands a new user needs: `make demo` and `make test`. Both install what is
# missing first (tools/setup.sh), then build what they run.
.PHONY: all setup build build-host build-win32 build-windows build-fuzz demo stub test fuzz-soak bench install clean

all: build

setup:
	@bash tools/setup.sh

build-host: setup
	@cmake --preset host >/dev/null
	@cmake --build --preset host

build-win32: setup
	@cmake --preset win32 >/dev/null
	@cmake --build --preset win32

# The 64-bit build carries the tests whose point is a CPU fault's exact code, which an emulated
# CPU gets wrong: where the 32-bit build runs through the emulator, they run natively only from
# it. It is built, and those tests run from it, on every machine, so that a route only one kind
# of machine depends on is exercised on both. Only what those tests run is built there (the
# tests labelled native-cpu, and what their commands name): the rest would double the build.
WIN64_TARGETS = wine_launcher crash_guard_win_test dll_load_guard_win_test \
                sfxstub sfxstub_fault_in_sequence sfxstub_fault_in_lane e2e_child
build-windows: build-win32
	@cmake --preset win64 >/dev/null
	@cmake --build --preset win64 --target $(WIN64_TARGETS)

build-fuzz: setup
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz

build: build-host build-windows build-fuzz

# The demo builds only what tools/demo.sh runs: sfxpack from the bench preset (optimised, without
# sanitizers: the one `make install` installs), and from the win32 preset the stub, the example
# installer/updater and the Wine launcher; its set-up makes only what those need.
DEMO_WIN32_TARGETS = sfxstub example_installer wine_launcher
demo:
	@echo "make demo: the first run on a new 2-core machine takes about 3 minutes (set-up, build and" \
	      "run, Debian's packages installed already); later runs about a minute (README says more)"
	@bash tools/setup.sh demo
	@cmake --preset bench >/dev/null
	@cmake --build --preset bench --target sfxpack
	@cmake --preset win32 >/dev/null
	@cmake --build --preset win32 --target $(DEMO_WIN32_TARGETS)
	@bash tools/demo.sh

# The shipped stub alone (build/win32/stub/sfxstub.exe), as a release is checked against its
# commit (README); it needs no more set-up than the demo.
stub:
	@bash tools/setup.sh demo
	@cmake --preset win32 >/dev/null
	@cmake --build --preset win32 --target sfxstub

test: build
	@bash tools/run-tests.sh

# Every fuzz target for ten minutes (SFX_SOAK_SECONDS), two at a time; not part of `test`.
fuzz-soak: build-fuzz
	@bash tools/fuzz-soak.sh

# The stub benchmark runs the win32 build's stub and its two helpers, the digest benchmark its
# digest_speed.exe: only those are built there.
bench: setup
	@cmake --preset bench >/dev/null
	@cmake --build --preset bench
	@cmake --preset win32 >/dev/null
	@cmake --build --preset win32 --target sfxstub bench_launcher bench_child digest_speed
	@bash tools/bench.sh

# sfxpack, its manual page and its bash completion under $(DESTDIR)$(PREFIX), from the bench
# preset's optimised build without sanitizers; only sfxpack is built there.
PREFIX = /usr/local
install: setup
	@cmake --preset bench >/dev/null
	@cmake --build --preset bench --target sfxpack
	@DESTDIR="$(DESTDIR)" cmake --install build/bench --prefix "$(PREFIX)"

clean:
	rm -rf build
