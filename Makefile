# Everything a fresh Debian 12 machine needs, from one command each.
#   make run    install what is missing, build, open the window
#   make test   install what is missing, build, run every test: the suite,
#               the suite again under ASan and UBSan, and each fuzzer briefly
#   make check  the suite alone, for a quick round while working
#   make fuzz   each fuzzer for FUZZ_SECONDS (default 300)
#   make bench  run the benchmark and write docs/PERFORMANCE.md
#   make docs   redraw docs/window.png and the application icon
#   make deb    the Debian packages zelkpatch (command line) and zelkpatcher
#               (window), checked by lintian

BUILD ?= build
JOBS ?= 2
SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)

BUILD_PACKAGES := cmake g++ make libgtest-dev qt6-base-dev fonts-dejavu-core help2man man-db
TEST_PACKAGES := $(BUILD_PACKAGES) clang libclang-rt-14-dev bash-completion
DEB_PACKAGES := $(BUILD_PACKAGES) dpkg-dev file lintian
BENCH_PACKAGES := $(BUILD_PACKAGES) hyperfine xdelta3 bsdiff time python3 util-linux

# Installs the listed Debian packages that are not installed yet.
define install
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

# CI treats every compiler warning as an error.
WERROR := $(if $(CI),-DCMAKE_COMPILE_WARNING_AS_ERROR=ON)

FUZZ_SECONDS ?= 300
CI_FUZZ_SECONDS ?= 30

.PHONY: all deps test-deps bench-deps build run test check sanitize fuzz fuzz-build bench docs deb clean

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
	$(BUILD)/src/ui/zelkpatcher

test: check sanitize fuzz-build
	bash tests/fuzz/run.sh $(BUILD)-fuzz $(CI_FUZZ_SECONDS)

check: test-deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(WERROR)
	cmake --build $(BUILD) -j$(JOBS)
	cd $(BUILD) && ctest -j$(JOBS) --output-on-failure

# The whole suite built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: test-deps
	cmake -S . -B $(BUILD)-asan -DCMAKE_BUILD_TYPE=Debug -DZELK_SANITIZE=ON $(WERROR)
	cmake --build $(BUILD)-asan -j$(JOBS)
	cd $(BUILD)-asan && ctest -j$(JOBS) --output-on-failure

fuzz-build: test-deps
	CXX=clang++ cmake -S . -B $(BUILD)-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELK_FUZZ=ON -DZELK_SANITIZE=ON \
	  -DZELK_WINDOW=OFF -DBUILD_TESTING=OFF -DZELK_MANUALS=OFF $(WERROR)
	cmake --build $(BUILD)-fuzz -j$(JOBS)

fuzz: fuzz-build
	bash tests/fuzz/run.sh $(BUILD)-fuzz $(FUZZ_SECONDS)

bench: bench-deps build
	cmake --build $(BUILD) --target zelk-bench-gen zelk-bench-run
	bash bench/run.sh $(BUILD) $(SIZES)

docs: build
	QT_QPA_PLATFORM=offscreen $(BUILD)/src/ui/zelkpatcher-snapshot docs/window.png data/zelkpatcher.png

deb: build
	$(call install,$(DEB_PACKAGES))
	cd $(BUILD) && cpack
	lintian --fail-on error $(BUILD)/*.deb

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-fuzz
