# Everything a fresh Debian 12 machine needs, from one command each.
#   make run    install what is missing, build, open the window
#   make test   install what is missing, build, run every test: the suite,
#               the suite again under ASan and UBSan, and each fuzzer briefly
#   make check  the suite alone, for a quick round while working
#   make fuzz   each fuzzer for FUZZ_SECONDS (default 300)
#   make bench  run the benchmark and write docs/PERFORMANCE.md
#   make docs   redraw docs/window.png, window-windows.png, web.png and the icon
#   make deb    the Debian packages zelkpatch (command line) and zelkpatcher
#               (window), checked by lintian
#   make windows  the 32- and 64-bit Windows programs, cross-built with
#               mingw-w64, zipped in dist/
#   make web    the static web page in dist/web (Emscripten)
#   make serve-web  serve dist/web on 127.0.0.1 and print the address

BUILD ?= build
VERSION := $(shell grep -m1 -o 'ZelkPatcher VERSION [0-9.]*' CMakeLists.txt | cut -d' ' -f3)
JOBS ?= 2
SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)

BUILD_PACKAGES := cmake g++ make libgtest-dev qt6-base-dev libdeflate-dev liblzma-dev libbz2-dev libmd-dev libboost-dev libarchive-dev libexpat1-dev fonts-dejavu-core help2man man-db
TEST_PACKAGES := $(BUILD_PACKAGES) clang libclang-rt-14-dev bash-completion zlib1g-dev acl strace xdelta3 bsdiff
DEB_PACKAGES := $(BUILD_PACKAGES) dpkg-dev file lintian
# Windows: cross compilers, GoogleTest's source for the targets, Wine to run
# the tests (its 32-bit half needs the i386 architecture), and the Russian
# and a Western locale, which give Wine its ANSI code pages.
WINDOWS_PACKAGES := cmake make g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix googletest \
  wine wine64 zip locales python3 perl xvfb xauth imagemagick dpkg-dev
# The web page: Debian's Emscripten (its tools find their JavaScript
# modules through NODE_PATH when node is not Debian's own), and Chromium
# for the tests, driven by playwright-core from npm.
WEB_PACKAGES := $(BUILD_PACKAGES) emscripten chromium python3 dpkg-dev
EMSDK_ENV := NODE_PATH=/usr/share/nodejs
BENCH_PACKAGES := $(BUILD_PACKAGES) hyperfine xdelta3 bsdiff time python3 util-linux

# Installs the listed Debian packages that are not installed yet.
define install
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update -qq || echo "apt-get update failed for some lists (a mirror mid-sync?): installing from what it has"; \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

# CI treats every compiler warning as an error.
WERROR := $(if $(CI),-DCMAKE_COMPILE_WARNING_AS_ERROR=ON)

FUZZ_SECONDS ?= 300
CI_FUZZ_SECONDS ?= 30
WEB_PORT ?= 8080
# No test may keep the run waiting: one that takes longer than this has
# failed (the slowest takes seconds), and so has a Windows suite.
TEST_SECONDS ?= 300
# Under Wine a test that hangs is most often Wine itself (its server or a
# window that never appears): such a test gets one more try, a test that
# fails does not.
WINE_TEST_SECONDS ?= 120
WINE_SUITE_SECONDS ?= 1200

# The parts of "make test" share the machine's two cores, the screen and the
# package manager; they take turns even under "make -j" (the builds inside
# them still use $(JOBS) cores).
.NOTPARALLEL:

.PHONY: all deps test-deps bench-deps build run test check sanitize fuzz fuzz-build bench docs deb clean \
  windows-deps cross-deps cross-set-up windows-libs windows-build windows windows-test web-deps web-libs web serve-web web-test

all: build

deps:
	$(call install,$(BUILD_PACKAGES))

test-deps:
	$(call install,$(TEST_PACKAGES))

bench-deps:
	$(call install,$(BENCH_PACKAGES))

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS)

run: build
	$(BUILD)/src/ui/qt/zelkpatcher

# Each stage is timed, and the end (or a failure) says where the time went.
STAGES := $(CURDIR)/$(BUILD)/stages.log
define stage
	@ZELK_STAGE_LOG=$(STAGES) bash cmake/stages.sh run $(STAGES) $(1) $(2) || \
	  { bash cmake/stages.sh report $(STAGES); exit 1; }
endef
sub-make = $(MAKE) --no-print-directory

# The Windows and page set-up (packages, then the libraries for three
# targets) runs behind the Linux suites; its lines are marked "behind".
test:
	@bash cmake/stages.sh start $(STAGES)
	$(call stage,"set-up: Linux packages",$(sub-make) test-deps)
	@ZELK_STAGE_LOG=$(STAGES) bash cmake/background.sh start $(BUILD)/cross-set-up $(sub-make) cross-set-up
	$(call stage,"Linux suite: build and run",$(sub-make) check)
	$(call stage,"sanitizer suite: build and run",$(sub-make) sanitize)
	$(call stage,"fuzzers: build",$(sub-make) fuzz-build)
	$(call stage,"waiting for the Windows and page set-up",bash cmake/background.sh wait $(BUILD)/cross-set-up)
	$(call stage,"Windows: both builds",$(sub-make) windows-build)
	$(call stage,"Windows suites under Wine",$(sub-make) windows-test)
	$(call stage,"page: build",$(sub-make) web)
	$(call stage,"page suite in Chromium",$(sub-make) web-test)
	$(call stage,"fuzzers: run",bash tests/fuzz/run.sh $(BUILD)-fuzz $(CI_FUZZ_SECONDS) $(JOBS))
	@bash cmake/stages.sh report $(STAGES)

# Everything the Windows programs and the page need before they build: the
# packages of both, installed at once, then the libraries for the three
# targets side by side (a library's configure runs one check at a time).
cross-set-up:
	@bash cmake/stages.sh run $(STAGES) "  set-up: Windows and page packages (behind)" $(sub-make) cross-deps
	@$(call build-libs-side-by-side,win32 win64 web)

check: test-deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(WERROR)
	cmake --build $(BUILD) -j$(JOBS)
	cd $(BUILD) && ctest -j$(JOBS) --timeout $(TEST_SECONDS) --output-on-failure

# The whole suite built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: test-deps
	cmake -S . -B $(BUILD)-asan -DCMAKE_BUILD_TYPE=Debug -DZELK_SANITIZE=ON $(WERROR)
	cmake --build $(BUILD)-asan -j$(JOBS)
	cd $(BUILD)-asan && ctest -j$(JOBS) --timeout $(TEST_SECONDS) --output-on-failure

fuzz-build: test-deps
	CXX=clang++ cmake -S . -B $(BUILD)-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELK_FUZZ=ON -DZELK_SANITIZE=ON \
	  -DZELK_WINDOW=OFF -DBUILD_TESTING=OFF -DZELK_MANUALS=OFF $(WERROR)
	cmake --build $(BUILD)-fuzz -j$(JOBS)

fuzz: fuzz-build
	bash tests/fuzz/run.sh $(BUILD)-fuzz $(FUZZ_SECONDS) $(JOBS)

bench: bench-deps build web
	cd tests/web && npm ci --no-audit --no-fund --silent
	cmake --build $(BUILD) --target zelk-bench-gen zelk-bench-run zelk-bench-foreign
	bash bench/run.sh $(BUILD) $(SIZES)

docs: build windows-build web
	QT_QPA_PLATFORM=offscreen $(BUILD)/src/ui/qt/zelkpatcher-snapshot docs/window.png data/zelkpatcher.png
	xvfb-run -a -s "-screen 0 800x600x24" bash cmake/windows-snapshot.sh $(BUILD)-win64 docs/window-windows.png
	cd tests/web && npm ci --no-audit --no-fund --silent
	ZELKPATCH=$(CURDIR)/$(BUILD)/zelkpatch WEB_ROOT=$(CURDIR)/dist/web WEB_SCREENSHOT=$(CURDIR)/docs/web.png \
	  node --test --test-name-pattern="window's form" tests/web/

deb: build
	$(call install,$(DEB_PACKAGES))
	cd $(BUILD) && cpack
	lintian --fail-on error $(BUILD)/*.deb

# Wine's 32-bit half needs the i386 architecture and its lists, which a
# mirror may be midway through updating: without it the 32-bit suite is
# skipped, loudly. Wine takes its ANSI code pages from a Russian and a
# Western locale.
define i386
	@dpkg --print-foreign-architectures | grep -qx i386 || { $(SUDO) dpkg --add-architecture i386 && { $(SUDO) apt-get update -qq || true; }; }
endef
define windows-extras
	$(call install,wine32:i386) || echo "WARNING: wine32:i386 could not be installed: the 32-bit Windows tests will be skipped"
	@for l in ru_RU en_US; do \
	  locale -a | grep -qx "$$l.utf8" || { \
	    $(SUDO) sed -i "s/^# *\($$l.UTF-8 UTF-8\)/\1/" /etc/locale.gen && $(SUDO) locale-gen > /dev/null; }; \
	done
endef

windows-deps:
	$(i386)
	$(call install,$(WINDOWS_PACKAGES))
	$(windows-extras)

cross-deps:
	$(i386)
	$(call install,$(sort $(WINDOWS_PACKAGES) $(WEB_PACKAGES)))
	$(windows-extras)

# The libraries, built once from Debian's source packages for each target
# and cached outside the clone (cmake/debian-dep.sh).
deps-for = -DZELK_LIBDEFLATE_PREFIX=$$(JOBS=$(JOBS) bash cmake/debian-dep.sh libdeflate $(1)) \
  -DZELK_LZMA_PREFIX=$$(JOBS=$(JOBS) bash cmake/debian-dep.sh xz-utils $(1)) \
  -DZELK_BZ2_PREFIX=$$(JOBS=$(JOBS) bash cmake/debian-dep.sh bzip2 $(1)) \
  -DZELK_MD_PREFIX=$$(JOBS=$(JOBS) bash cmake/debian-dep.sh libmd $(1)) \
  -DZELK_ZLIB_PREFIX=$$(JOBS=$(JOBS) bash cmake/debian-dep.sh zlib $(1)) \
  -DZELK_ARCHIVE_PREFIX=$$(JOBS=$(JOBS) bash cmake/debian-dep.sh libarchive $(1)) \
  -DZELK_EXPAT_PREFIX=$$(JOBS=$(JOBS) bash cmake/debian-dep.sh expat $(1)) \
  -DZELK_BOOST_PREFIX=$$(bash cmake/debian-dep.sh boost1.74 $(1))

LIBRARIES := libdeflate xz-utils bzip2 libmd zlib libarchive expat boost1.74
build-libs = for t in $(1); do for l in $(LIBRARIES); do \
	  JOBS=$(JOBS) bash cmake/debian-dep.sh $$l $$t > /dev/null || exit 1; done; done
build-libs-side-by-side = pids=""; for t in $(1); do ( $(call build-libs,$$t) ) & pids="$$pids $$!"; done; \
	status=0; for p in $$pids; do wait $$p || status=1; done; exit $$status

windows-libs: windows-deps
	@$(call build-libs-side-by-side,win32 win64)

# Where 32-bit programs cannot run, the 32-bit build makes the programs
# alone: its tests could not run.
windows-build: windows-deps
	for t in i686:win32 x86_64:win64; do \
	  only=; [ $${t#*:} = win32 ] && ! /usr/lib/wine/wine --version > /dev/null 2>&1 && only="--target zelkpatch zelkpatcher"; \
	  cmake -S . -B $(BUILD)-$${t#*:} -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$${t%:*}.cmake -DCMAKE_BUILD_TYPE=Release \
	    -DZELK_WINDOW=ON $(call deps-for,$${t#*:}) $(WERROR) && cmake --build $(BUILD)-$${t#*:} -j$(JOBS) $$only || exit 1; \
	done

windows: windows-build
	bash cmake/windows-zip.sh $(BUILD)-win32 win32 dist
	bash cmake/windows-zip.sh $(BUILD)-win64 win64 dist

# Both builds' suites under Wine. A machine that cannot run 32-bit programs
# at all (some containers and sandboxes) cannot run the 32-bit ones: said
# loudly, not hidden.
windows-test: windows-build
	sh cmake/wine-suite.sh $(BUILD)-win64 win64 $(JOBS) $(WINE_TEST_SECONDS) $(WINE_SUITE_SECONDS)
	@if /usr/lib/wine/wine --version > /dev/null 2>&1; then \
	  sh cmake/wine-suite.sh $(BUILD)-win32 win32 $(JOBS) $(WINE_TEST_SECONDS) $(WINE_SUITE_SECONDS); \
	else \
	  echo "SKIPPED: the 32-bit Windows tests: this machine cannot run 32-bit programs (the 32-bit programs were built, not their tests)"; \
	fi

web-deps:
	$(call install,$(WEB_PACKAGES))

web-libs: web-deps
	@$(call build-libs,web)

web: web-deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS) --target zelkpatch zelkpatcher-snapshot
	$(EMSDK_ENV) emcmake cmake -S . -B $(BUILD)-web -DCMAKE_BUILD_TYPE=Release $(call deps-for,web) \
	  -DZELK_ICON_TOOL=$(CURDIR)/$(BUILD)/src/ui/qt/zelkpatcher-snapshot -DZELK_WEB_DIR=$(CURDIR)/dist/web $(WERROR)
	$(EMSDK_ENV) cmake --build $(BUILD)-web -j$(JOBS) --target web

serve-web: web
	@echo "ZelkPatcher is at http://127.0.0.1:$(WEB_PORT)/ (Ctrl+C ends)"
	python3 -m http.server $(WEB_PORT) --bind 127.0.0.1 --directory dist/web

# The page in headless Chromium: playwright-core pinned in tests/web's lock file.
web-test: web
	cd tests/web && npm ci --no-audit --no-fund --silent
	ZELKPATCH=$(CURDIR)/$(BUILD)/zelkpatch WEB_ROOT=$(CURDIR)/dist/web node --test --test-timeout=$(TEST_SECONDS)000 tests/web/

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-fuzz $(BUILD)-win32 $(BUILD)-win64 $(BUILD)-web dist
