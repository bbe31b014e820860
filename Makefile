# Two entry points for a fresh machine:
#   make test  - install what is missing, build, run every test through CTest
#   make run   - install what is missing, build, open the window (or, with no
#                display, convert the bundled sample store on the command line)

BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

# git and dovecot-core: mbox readers the readback tests read the output with.
DEB_PACKAGES := g++ cmake pkg-config make qt6-base-dev qt6-qpa-plugins \
                libgmime-3.0-dev libgtest-dev libgmock-dev python3 git dovecot-core \
                desktop-file-utils libcli11-dev libxxhash-dev

# `make fuzz` needs clang and its runtime, which holds libFuzzer.
FUZZ_PACKAGES := clang libclang-rt-dev
FUZZ_TARGETS := header_reader output_layout splitter_record
FUZZ_SECONDS ?= 60

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps configure build test test-sanitize fuzz format-check run sample clean \
        test-windows windows-window package-windows test-windows-window package

# The project's one version number, from CMakeLists.txt's project().
VERSION := $(shell sed -n 's/^project([^)]* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

all: build

deps:
	@missing=""; \
	for p in $(DEB_PACKAGES) $(EXTRA_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update -q && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -q --no-install-recommends $$missing; \
	fi

configure: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# The same tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTOVALY_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

# Every C++ file as .clang-format lays it out (clang-format from Debian).
format-check:
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="clang-format git"
	clang-format --dry-run -Werror $$(git ls-files '*.cpp' '*.h')

# libFuzzer targets (fuzz/), built with clang, AddressSanitizer and UBSan in
# build-fuzz/; each runs FUZZ_SECONDS from the committed seed corpus. New
# inputs go to build-fuzz/corpus/, findings to build-fuzz/findings/.
fuzz:
	@$(MAKE) --no-print-directory deps EXTRA_PACKAGES="$(FUZZ_PACKAGES)"
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTOVALY_FUZZ=ON -DTOVALY_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	@mkdir -p build-fuzz/findings
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p build-fuzz/corpus/$$t; \
	  echo "== fuzz_$$t: $(FUZZ_SECONDS) s"; \
	  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	    build-fuzz/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -max_len=65536 -timeout=10 \
	    -rss_limit_mb=1024 -print_final_stats=1 -artifact_prefix=build-fuzz/findings/$$t- \
	    build-fuzz/corpus/$$t fuzz/corpus/$$t || exit 1; \
	done

# The Qt-free core, the command line and their tests cross-built for 64-bit
# Windows with MinGW-w64 and run under Wine. GLib and GMime are built once per
# machine into a cache (windows/build-deps.sh). A Qt-free Linux opera2mbox is
# built beside it for the test that compares the two programs' mailboxes, and
# windres compiles the window's resources for the tests that check them.
WINDOWS_PACKAGES := g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools \
                    binutils-mingw-w64-x86-64 libz-mingw-w64-dev wine wine64 meson ninja-build \
                    dpkg-dev autoconf automake libtool gtk-doc-tools googletest pkg-config cmake \
                    g++ libgmime-3.0-dev python3 libcli11-dev libxxhash-dev
WINDOWS_BUILD_DIR ?= build-windows
WINDOWS_HOST_BUILD_DIR ?= build-windows-host

test-windows:
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="$(WINDOWS_PACKAGES)"
	cmake -S . -B $(WINDOWS_HOST_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVALY_WITH_QT=OFF \
	  -DTOVALY_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(WINDOWS_HOST_BUILD_DIR) -j $(JOBS) --target opera2mbox
	prefix=$$(windows/build-deps.sh) && \
	cmake -S . -B $(WINDOWS_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64.cmake -DTOVALY_WINDOWS_PREFIX=$$prefix \
	  -DTOVALY_HOST_OPERA2MBOX=$(CURDIR)/$(WINDOWS_HOST_BUILD_DIR)/cli/opera2mbox $(CMAKE_FLAGS)
	cmake --build $(WINDOWS_BUILD_DIR) -j $(JOBS)
	@# Wine is started once and kept running: two Wine processes started at
	@# the same moment on a fresh server can hang each other. Its desktop
	@# process is started here, on the null display driver and with no
	@# standard streams, so that no test starts one of its own: one started
	@# by a test keeps that test's output pipe open and CTest waits forever
	@# (the outer timeout ends CTest all the same, and wineserver -k the rest).
	export WINEPREFIX=$$(dirname $$(windows/build-deps.sh))/wineprefix WINEDEBUG=-all; \
	wineserver -p && \
	wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1 && \
	wine cmd /c exit </dev/null >/dev/null 2>&1; \
	cd $(WINDOWS_BUILD_DIR) && timeout 1500 ctest --output-on-failure --timeout 300 -j $(JOBS); status=$$?; \
	wineserver -k; exit $$status
	@# The window's resource test of the Linux build, now that windres is here.
	@if [ -x $(BUILD_DIR)/tests/app/test_windows_resources ]; then \
	  $(BUILD_DIR)/tests/app/test_windows_resources --gtest_filter='ResourceScript.*'; \
	fi

# The window for Windows: Qt for MinGW is built once per machine into its own
# cache (windows/build-qt.sh, half an hour to an hour the first time), beside
# GLib and GMime; the window, opera2mbox.exe and the window's tests are then
# cross-built against it in build-windows-qt/, static, one .exe each.
WINDOWS_QT_PACKAGES := nsis zip xvfb openbox xdotool imagemagick perl qt6-base-dev qt6-base-dev-tools
WINDOWS_QT_BUILD_DIR ?= build-windows-qt
DIST_DIR ?= dist

windows-window:
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="$(WINDOWS_PACKAGES) $(WINDOWS_QT_PACKAGES)"
	deps=$$(windows/build-deps.sh) && qt=$$(windows/build-qt.sh) && \
	cmake -S . -B $(WINDOWS_QT_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$$qt/lib/cmake/Qt6/qt.toolchain.cmake \
	  -DQT_CHAINLOAD_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64.cmake \
	  -DTOVALY_WINDOWS_PREFIX=$$deps -DTOVALY_WITH_QT=ON $(CMAKE_FLAGS)
	cmake --build $(WINDOWS_QT_BUILD_DIR) -j $(JOBS) --target TovalyOpera2MBOXConverter opera2mbox tovaly_manual

# dist/TovalyOpera2MBOXConverter-<version>-setup.exe (NSIS), the same files as
# a portable .zip, and the source they were built from.
package-windows: windows-window
	windows/package.sh $(WINDOWS_QT_BUILD_DIR) $(DIST_DIR) $(VERSION)

# The window's tests under Wine, the real window driven on Xvfb (display :88,
# DISPLAY_NUM to change it) with its mailboxes compared with the Linux
# opera2mbox's, and the setup program installed and uninstalled silently.
# Wine runs in a prefix of its own beside the Qt cache, which the window's
# tests also use when they are listed at build time.
test-windows-window: package-windows
	cmake -S . -B $(WINDOWS_HOST_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVALY_WITH_QT=OFF \
	  -DTOVALY_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(WINDOWS_HOST_BUILD_DIR) -j $(JOBS) --target opera2mbox
	@# The tests are listed under Wine as they are built: one server is
	@# started first, so two listings never start Wine at the same moment.
	export WINEPREFIX=$$(windows/build-qt.sh --key)/wineprefix WINEARCH=win64 WINEDEBUG=-all; \
	[ -d $$WINEPREFIX ] || wineboot -i </dev/null >/dev/null 2>&1; \
	wineserver -p && wine cmd /c exit </dev/null >/dev/null 2>&1; \
	cmake --build $(WINDOWS_QT_BUILD_DIR) -j $(JOBS) --target tovaly_window_tests; status=$$?; \
	wineserver -k; [ $$status = 0 ] && \
	JOBS=$(JOBS) windows/test-window.sh $(WINDOWS_QT_BUILD_DIR) $(WINDOWS_HOST_BUILD_DIR)/cli/opera2mbox \
	  $(DIST_DIR)/TovalyOpera2MBOXConverter-$(VERSION)-setup.exe

# A .deb of the Linux build (CPack; dependencies from dpkg-shlibdeps), checked
# by unpacking it into a scratch root and running opera2mbox from there.
package: build
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="dpkg-dev"
	rm -rf $(BUILD_DIR)/cpack && mkdir -p $(DIST_DIR)
	cd $(BUILD_DIR) && cpack -G DEB -B $(CURDIR)/$(BUILD_DIR)/cpack
	cp $(BUILD_DIR)/cpack/*.deb $(DIST_DIR)/
	tests/install/check_deb.sh $(DIST_DIR)/tovaly-opera2mbox_$(VERSION)_*.deb $(BUILD_DIR)/deb-root

run: build
	@if [ -n "$$DISPLAY$$WAYLAND_DISPLAY" ] && [ -x $(BUILD_DIR)/app/TovalyOpera2MBOXConverter ]; then \
	  $(BUILD_DIR)/app/TovalyOpera2MBOXConverter; \
	else \
	  $(MAKE) --no-print-directory sample; \
	fi

sample:
	@echo "No display: converting the bundled sample store with the command-line tool."
	$(BUILD_DIR)/cli/opera2mbox -o out samples/store
	@echo "Mailboxes written under $(CURDIR)/out:"
	@find out -name '*.mbox' | sort

clean:
	rm -rf $(BUILD_DIR) build-asan build-fuzz $(WINDOWS_BUILD_DIR) $(WINDOWS_HOST_BUILD_DIR) \
	  $(WINDOWS_QT_BUILD_DIR) $(DIST_DIR) out
