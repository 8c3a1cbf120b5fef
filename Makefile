# The two commands the README promises, plus the pieces they are made of.
BUILD_DIR ?= build
ASAN_BUILD_DIR ?= build-asan
TEST_BUILD_DIR ?= build-test
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
CTEST_FLAGS ?= --output-on-failure --timeout 900
# The tests' build compiles in loopback addresses for the streams and the update feed: the end-to-end
# tests serve the channels there, and nothing a test runs reaches beyond this machine.
TEST_CMAKE_FLAGS ?= -DZELNA_STREAM_BASE_URL=http://127.0.0.1:18555/ \
	-DZELNA_APPCAST_URL=https://127.0.0.1:18556/appcast.xml

.PHONY: all setup configure build test unit-test asan-test run bench package clean

all: build

setup:
	@bash scripts/setup

configure: setup
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

# Every test of the full build (its own build tree, with the loopback addresses), then the unit
# tests again under ASan and UBSan.
test: setup
	cmake -S . -B $(TEST_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(TEST_CMAKE_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(TEST_BUILD_DIR) -j $(JOBS)
	cd $(TEST_BUILD_DIR) && ctest $(CTEST_FLAGS)
	$(MAKE) --no-print-directory asan-test

unit-test: build
	cd $(BUILD_DIR) && ctest $(CTEST_FLAGS) -L unit

asan-test: setup
	cmake -S . -B $(ASAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=Debug -DZELNA_SANITIZE=ON -DZELNA_CORE_ONLY=ON
	cmake --build $(ASAN_BUILD_DIR) -j $(JOBS)
	cd $(ASAN_BUILD_DIR) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest $(CTEST_FLAGS) -L unit

run: build
	exec $(BUILD_DIR)/bin/zelnamenu

clean:
	rm -rf $(BUILD_DIR) $(TEST_BUILD_DIR) $(ASAN_BUILD_DIR)
