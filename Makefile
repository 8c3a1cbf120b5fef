# The two commands the README promises, plus the pieces they are made of.
BUILD_DIR ?= build
ASAN_BUILD_DIR ?= build-asan
TEST_BUILD_DIR ?= build-test
PACKAGE_BUILD_DIR ?= build-package
BENCH_BUILD_DIR ?= build-bench
# The benchmarks' build streams from a loopback server on this port (and checks for updates on the
# next one, where nothing answers); apart from the ports used by the tests.
BENCH_PORT ?= 18565
BENCH_FLAGS ?=
SOAK_MINUTES ?= 60
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
CTEST_FLAGS ?= --output-on-failure --timeout 900
# The tests' build compiles in loopback addresses for the streams and the update feed: the end-to-end
# tests serve the channels there, and nothing a test runs reaches beyond this machine.
TEST_CMAKE_FLAGS ?= -DZELNA_STREAM_BASE_URL=http://127.0.0.1:18555/ \
	-DZELNA_APPCAST_URL=https://127.0.0.1:18556/appcast.xml

.PHONY: all setup configure build test unit-test asan-test run bench soak bench-build package package-test clean

all: build

setup:
	@bash scripts/setup

configure: setup
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

# Every test of the full build (its own build tree, with the loopback addresses) but the package's
# (make package-test), then the unit tests again under ASan and UBSan.
test: setup
	cmake -S . -B $(TEST_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(TEST_CMAKE_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(TEST_BUILD_DIR) -j $(JOBS)
	cd $(TEST_BUILD_DIR) && ctest $(CTEST_FLAGS) -LE package
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

# A Debian package of a Release build with the default (https) stream and update addresses (the
# cache entries are dropped so that an address once given on the command line never sticks), and
# Debian's hardening flags.
PACKAGE_FLAGS = DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get
package: setup
	cmake -S . -B $(PACKAGE_BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DZELNA_TESTS=OFF -DZELNA_BENCH=OFF \
		-UZELNA_STREAM_BASE_URL -UZELNA_APPCAST_URL \
		-DCMAKE_CXX_FLAGS="$$($(PACKAGE_FLAGS) CXXFLAGS) $$($(PACKAGE_FLAGS) CPPFLAGS)" \
		-DCMAKE_EXE_LINKER_FLAGS="$$($(PACKAGE_FLAGS) LDFLAGS)"
	cmake --build $(PACKAGE_BUILD_DIR) -j $(JOBS)
	cd $(PACKAGE_BUILD_DIR) && cpack -G DEB
	@ls $(PACKAGE_BUILD_DIR)/*.deb

# Installs the package into this machine, runs it and removes it again (root only).
package-test: package
	ZELNA_SOURCE_DIR=$(CURDIR) ZELNA_PACKAGE=$$(ls $(CURDIR)/$(PACKAGE_BUILD_DIR)/zelnamenu_*.deb) \
		/usr/bin/python3 -m unittest -v tests/package/test_package.py

# Figures, never pass or fail: ZelnaMenu beside gst-launch-1.0 and goodvibes (half an hour; the
# table goes to bench/RESULTS.md), then the playback figures of the player alone.
bench-build: setup
	cmake -S . -B $(BENCH_BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DZELNA_TESTS=OFF -DZELNA_BENCH=ON \
		-DZELNA_STREAM_BASE_URL=http://127.0.0.1:$(BENCH_PORT)/ \
		-DZELNA_APPCAST_URL=https://127.0.0.1:$$(($(BENCH_PORT) + 1))/appcast.xml
	cmake --build $(BENCH_BUILD_DIR) -j $(JOBS)

bench: bench-build
	/usr/bin/python3 bench/figures.py --build-dir $(BENCH_BUILD_DIR) $(BENCH_FLAGS)
	/usr/bin/python3 bench/playback_bench.py --build-dir $(BENCH_BUILD_DIR)

# Plays for SOAK_MINUTES (an hour unless told), sampling memory every minute; draws docs/soak.png.
soak: bench-build
	/usr/bin/python3 bench/figures.py soak --build-dir $(BENCH_BUILD_DIR) --minutes $(SOAK_MINUTES)

clean:
	rm -rf $(BUILD_DIR) $(TEST_BUILD_DIR) $(ASAN_BUILD_DIR) $(PACKAGE_BUILD_DIR) $(BENCH_BUILD_DIR)
