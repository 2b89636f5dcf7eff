# Entry points: `make run`, `make test`, `make client`, `make bench`, `make bench-voice`.
PORT ?= 1024
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build run test client bench bench-voice clean

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

bench-voice: build
	@bash scripts/bench-voice $(BUILD)

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
