# Entry points: `make run`, `make test`, `make client`, `make bench`,
# `make bench-voice`, `make install` (PREFIX, DESTDIR) and `make package`.
PORT ?= 1024
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
PREFIX ?= /usr/local
PACKAGE_BUILD ?= build-package

# The build's own progress only: no folder chatter from the make that CMake runs.
BUILD_TOOL = cmake --build $(BUILD) -j $(JOBS) -- --no-print-directory

.PHONY: all deps build run test client bench bench-voice install package clean

all: build

deps:
	@bash scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	@$(BUILD_TOOL)

run: build
	@./$(BUILD)/orvane $(PORT)

client: build
	@./$(BUILD)/tessik

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

bench: build
	@bash scripts/bench $(BUILD)

bench-voice: build
	@bash scripts/bench-voice $(BUILD)

# Installs both programs, the menu entry, icons, service unit, manual pages and
# documentation under PREFIX (staged under DESTDIR when given).
install: BUILD_TOOL = cmake --build $(BUILD) -j $(JOBS) --target orvane tessik orvane_packaging_files -- --no-print-directory
install: CMAKE_FLAGS += -DCMAKE_INSTALL_PREFIX=$(PREFIX)
install: build
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD)

# The Debian packages orvane and tessik, built apart from the tests.
package: deps
	@cmake -S . -B $(PACKAGE_BUILD) -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_TESTS=OFF \
	       -DORVANE_BUILD_BENCH=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(PACKAGE_BUILD) -j $(JOBS) -- --no-print-directory
	@cd $(PACKAGE_BUILD) && cpack -G DEB >/dev/null
	@ls $(PACKAGE_BUILD)/*.deb

clean:
	rm -rf $(BUILD) $(PACKAGE_BUILD) build-asan build-tsan build-fuzz build-windows

# Windows: build-windows/orvane.exe and its test programs, cross-built with
# mingw-w64; windows-test runs them under Wine, and the Linux clients'
# tests against orvane.exe.
.PHONY: windows windows-test
windows: deps
	@cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	       -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build-windows -j $(JOBS) -- --no-print-directory

windows-test: windows build
	@JOBS=$(JOBS) bash scripts/windows-test build-windows $(BUILD)
