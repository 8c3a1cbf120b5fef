# The two commands the README promises, plus the pieces they are made of.
BUILD_DIR ?= build
ASAN_BUILD_DIR ?= build-asan
PACKAGE_BUILD_DIR ?= build-package
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
CTEST_FLAGS ?= --output-on-failure --timeout 900

.PHONY: all setup configure build test unit-test asan-test run bench package clean

all: build

setup:
	@bash scripts/setup

configure: setup
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

# Every test of the full build, then the unit tests again under ASan and UBSan.
test: build
	cd $(BUILD_DIR) && ctest $(CTEST_FLAGS)
	$(MAKE) --no-print-directory asan-test

unit-test: build
	cd $(BUILD_DIR) && ctest $(CTEST_FLAGS) -L unit

asan-test: setup
	cmake -S . -B $(ASAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=Debug -DZELNA_SANITIZE=ON -DZELNA_CORE_ONLY=ON
	cmake --build $(ASAN_BUILD_DIR) -j $(JOBS)
	cd $(ASAN_BUILD_DIR) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest $(CTEST_FLAGS) -L unit

run: build
	@if [ -x $(BUILD_DIR)/bin/zelnamenu ]; then exec $(BUILD_DIR)/bin/zelnamenu; \
	else echo "ZelnaMenu has no Linux front end yet: only the core and its tests are built." >&2; exit 1; fi

# A Debian package of a Release build with the default (https) stream and update addresses (the
# cache entries are dropped so that an address once given on the command line never sticks), and
# Debian's hardening flags.
PACKAGE_FLAGS = DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get
package: setup
	cmake -S . -B $(PACKAGE_BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DZELNA_TESTS=OFF \
		-UZELNA_STREAM_BASE_URL -UZELNA_APPCAST_URL \
		-DCMAKE_CXX_FLAGS="$$($(PACKAGE_FLAGS) CXXFLAGS) $$($(PACKAGE_FLAGS) CPPFLAGS)" \
		-DCMAKE_EXE_LINKER_FLAGS="$$($(PACKAGE_FLAGS) LDFLAGS)"
	cmake --build $(PACKAGE_BUILD_DIR) -j $(JOBS)
	cd $(PACKAGE_BUILD_DIR) && cpack -G DEB
	@ls $(PACKAGE_BUILD_DIR)/*.deb

clean:
	rm -rf $(BUILD_DIR) $(ASAN_BUILD_DIR) $(PACKAGE_BUILD_DIR)
