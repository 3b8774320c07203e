# Tandrel: `make run` builds and starts the window, `make test` builds and runs
# every test. Both first install what a fresh Debian/Ubuntu machine lacks.

BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

# Debian/Ubuntu packages the build, the tests and the tools need.
PACKAGES = g++ cmake make pkgconf qt6-base-dev qt6-base-dev-tools libgl-dev \
           libgtest-dev libgmock-dev libbenchmark-dev libicu-dev libxxhash-dev fonts-liberation fonts-dejavu-core \
           clang clang-format libclang-rt-dev xvfb xauth rsync dpkg-dev file desktop-file-utils \
           xfsprogs btrfs-progs exfatprogs exfat-fuse dosfstools fusefat ntfs-3g \
           dbus-daemon libsystemd-dev systemd appstream lintian xdotool imagemagick openbox \
           samba smbclient smbnetfs iproute2 rclone fuse3

# $(call install-missing,PACKAGES): apt-get installs those not installed yet.
define install-missing
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  SUDO=""; [ "$$(id -u)" -eq 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

.PHONY: all deps build run test clean format

all: build

deps:
	$(call install-missing,$(PACKAGES))

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

run: build
	./$(BUILD)/ui/tandrel

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)

clean:
	rm -rf $(BUILD)

# Puts every C++ source in the style of .clang-format (make test checks it).
format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i --style=file

# `make test-asan` (AddressSanitizer and UndefinedBehaviorSanitizer) and
# `make test-tsan` (ThreadSanitizer) build everything, the window included, in
# build folders of their own and run the whole test suite under the sanitizer.
# What the system's own libraries (Qt, fontconfig) do wrong is suppressed by
# the files in tests/sanitizers/, never by switching a check off.
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
SANITIZERS = $(CURDIR)/tests/sanitizers
ASAN_CXXFLAGS = -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
TSAN_CXXFLAGS = -fsanitize=thread -fno-omit-frame-pointer
ASAN_ENV = ASAN_OPTIONS=detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1 \
           LSAN_OPTIONS=suppressions=$(SANITIZERS)/lsan.supp:print_suppressions=0 \
           UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Qt is not built with ThreadSanitizer: what it allocates and frees inside
# itself is left out (ignore_noninstrumented_modules); see tsan.supp.
TSAN_ENV = TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1:suppressions=$(SANITIZERS)/tsan.supp
# ThreadSanitizer's memory layout needs the address-space randomisation off.
TSAN_RUN = setarch $$(uname -m) -R

.PHONY: test-asan test-tsan

$(ASAN_BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DCMAKE_CXX_FLAGS="$(ASAN_CXXFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$(ASAN_CXXFLAGS)" -DCMAKE_SHARED_LINKER_FLAGS="$(ASAN_CXXFLAGS)"

$(TSAN_BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_FLAGS) -DCMAKE_CXX_FLAGS="$(TSAN_CXXFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$(TSAN_CXXFLAGS)" -DCMAKE_SHARED_LINKER_FLAGS="$(TSAN_CXXFLAGS)"

test-asan: deps $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && $(ASAN_ENV) QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)

test-tsan: deps $(TSAN_BUILD)/CMakeCache.txt
	cmake --build $(TSAN_BUILD) -j$(JOBS)
	cd $(TSAN_BUILD) && $(TSAN_ENV) QT_QPA_PLATFORM=offscreen $(TSAN_RUN) ctest --output-on-failure -j$(JOBS)

# `make install` puts the programs, the desktop entry, the icons and the manual
# pages under $(PREFIX); DESTDIR=DIR stages them under DIR instead.
PREFIX ?= /usr/local

.PHONY: install package

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# `make package` builds the Debian package $(BUILD)/tandrel_<version>_<arch>.deb.
package: build
	cd $(BUILD) && cpack -G DEB

# `make test-windows` cross-builds the engine, the list files, tandrel-cli and
# their tests for 64-bit Windows with MinGW-w64 and runs the tests under Wine,
# in a Wine prefix of its own under $(WIN_BUILD). No display is needed.
WIN_BUILD ?= build-windows
WIN_PACKAGES = g++-mingw-w64-x86-64-posix wine wine64 libgtest-dev cmake make
# Wine names the host's files in the locale's encoding: UTF-8, so that any
# Windows name fits.
WIN_ENV = WINEPREFIX="$(CURDIR)/$(WIN_BUILD)/wineprefix" WINEDEBUG=-all DISPLAY= \
          WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8

.PHONY: deps-windows test-windows

deps-windows:
	$(call install-missing,$(WIN_PACKAGES))

# One persistent wineserver serves every test program of the run (else each
# one waits for the server to shut down); it is stopped however the run ends.
# Wine starts its background services with the first program: started by a
# program of our own, they do not hold a test's output pipe open. Rarely Wine
# fails to start a test program at all (no output): a failed test gets one
# more run.
test-windows: deps-windows
	@mkdir -p "$(WIN_BUILD)"
	@export $(WIN_ENV); set -e; \
	trap 'wineserver -k 2>/dev/null || true' EXIT; \
	if [ ! -f "$$WINEPREFIX/system.reg" ]; then \
	  echo "Preparing the Wine prefix $$WINEPREFIX"; wineboot -i >/dev/null 2>&1; wineserver -w; \
	fi; \
	wineserver -k 2>/dev/null || true; wineserver -w; \
	wineserver -p; \
	wine cmd /c exit </dev/null >/dev/null 2>&1; \
	cmake -S . -B "$(WIN_BUILD)" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTANDREL_BUILD_UI=OFF -DTANDREL_BUILD_BENCH=OFF -DTANDREL_FUZZ=OFF; \
	cmake --build "$(WIN_BUILD)" -j$(JOBS); \
	cd "$(WIN_BUILD)" && ctest --output-on-failure -j$(JOBS) --repeat until-pass:2
