# The contract with every newcomer: `make demo` and `make test`.
SHELL := /bin/bash
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
CTEST_JOBS ?= $(JOBS)

CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps build test sanitize bench demo fuzz screenshot format clean

all: build

deps:
	scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && dbus-run-session -- env QT_QPA_PLATFORM=offscreen \
		ctest --output-on-failure -j $(CTEST_JOBS)

$(ASAN_BUILD)/build.ninja:
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DDL_SANITIZE=ON -DDL_BUILD_BENCH=OFF

sanitize: deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && dbus-run-session -- env QT_QPA_PLATFORM=offscreen \
		ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(CTEST_JOBS)

bench: build
	scripts/run-bench $(BUILD)

demo: build
	scripts/demo $(BUILD)

fuzz: deps
	scripts/run-fuzz

screenshot: build
	scripts/screenshot $(BUILD)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
