# Entry points: `make run`, `make test`, `make client`, `make bench`.
PORT ?= 1024
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build run test client bench clean

all: build

deps:
	@bash scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/orvane $(PORT)

client: build
	./$(BUILD)/tessik

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

bench: build
	@bash scripts/bench $(BUILD)

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz

# Windows: build-windows/orvane.exe and its test programs, cross-built with
# mingw-w64; windows-test runs them under Wine, and the Linux clients'
# tests against orvane.exe.
.PHONY: windows windows-test
windows: deps
	@cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	       -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build-windows -j $(JOBS)

windows-test: windows build
	@JOBS=$(JOBS) bash scripts/windows-test build-windows $(BUILD)
