# Entry points: `make run`, `make client`, `make test`, `make bench`,
# `make bench-voice`, `make install` (PREFIX, DESTDIR), `make package`,
# `make fuzz`, `make screenshot`, `make windows` and `make windows-test`.
# Each installs the Debian packages it needs first (scripts/install-deps with
# a profile of the same name).
PORT ?= 1024
# The programs alone (make run, make client, make install): no GoogleTest and
# no Google Benchmark needed.
RUN_BUILD ?= build-run
# Programs, tests and benchmarks (make test, make bench, make bench-voice).
BUILD ?= build
PACKAGE_BUILD ?= build-package
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
PREFIX ?= /usr/local

DEPS = bash scripts/install-deps
# The build's own progress only: no folder chatter from the make that CMake runs.
BUILD_TOOL = cmake --build $(1) -j $(JOBS) -- --no-print-directory
PROGRAMS_ONLY = -DORVANE_BUILD_TESTS=OFF -DORVANE_BUILD_BENCH=OFF
# The install-deps profile the full build is made for: the tests', unless the
# target that asks for it (bench, windows-test, ...) names its own.
DEPS_PROFILE = test

.PHONY: all programs full run client test bench bench-voice install package fuzz screenshot clean

all: programs

programs:
	@$(DEPS) run
	@cmake -S . -B $(RUN_BUILD) -DCMAKE_BUILD_TYPE=Release $(PROGRAMS_ONLY) $(CMAKE_FLAGS) >/dev/null
	@$(call BUILD_TOOL,$(RUN_BUILD))

full:
	@$(DEPS) $(DEPS_PROFILE)
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	@$(call BUILD_TOOL,$(BUILD))

run: programs
	@./$(RUN_BUILD)/orvane $(PORT)

client: programs
	@./$(RUN_BUILD)/tessik

# LABEL picks one part (make test LABEL=voice); see the README's table.
test: full
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600 $(if $(LABEL),-L '$(LABEL)')

bench: DEPS_PROFILE = bench
bench: full
	@bash scripts/bench $(BUILD)

bench-voice: DEPS_PROFILE = bench-voice
bench-voice: full
	@bash scripts/bench-voice $(BUILD)

# Installs both programs, the menu entry, icons, service unit, manual pages and
# documentation under PREFIX (staged under DESTDIR when given).
install: CMAKE_FLAGS += -DCMAKE_INSTALL_PREFIX=$(PREFIX)
install: programs
	@DESTDIR="$(DESTDIR)" cmake --install $(RUN_BUILD)

# The Debian packages orvane and tessik, built apart from the tests.
package:
	@$(DEPS) package
	@cmake -S . -B $(PACKAGE_BUILD) -DCMAKE_BUILD_TYPE=Release $(PROGRAMS_ONLY) $(CMAKE_FLAGS) >/dev/null
	@$(call BUILD_TOOL,$(PACKAGE_BUILD))
	@cd $(PACKAGE_BUILD) && cpack -G DEB >/dev/null
	@ls $(PACKAGE_BUILD)/*.deb

# A bounded libFuzzer run in build-fuzz (FUZZ_SECONDS per target).
fuzz:
	@$(DEPS) fuzz
	@bash scripts/fuzz

# tools/screenshot/ pictures of the client under a virtual X display.
screenshot: programs
	@$(DEPS) screenshot
	@tools/screenshot $(RUN_BUILD)

clean:
	rm -rf $(BUILD) $(RUN_BUILD) $(PACKAGE_BUILD) build-asan build-tsan build-fuzz build-windows

# Windows: build-windows/orvane.exe and its test programs, cross-built with
# mingw-w64; windows-test runs them under Wine, and the Linux clients'
# tests against orvane.exe.
.PHONY: windows windows-test
windows:
	@$(DEPS) windows
	@cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	       -DCMAKE_BUILD_TYPE=Release >/dev/null
	@$(call BUILD_TOOL,build-windows)

windows-test: DEPS_PROFILE = windows-test
windows-test: windows full
	@JOBS=$(JOBS) bash scripts/windows-test build-windows $(BUILD)
