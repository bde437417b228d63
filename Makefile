# Everything a fresh Debian 12 machine needs, from one command each.
#   make run    install what is missing, build, open the window
#   make test   install what is missing, build, run every test
#   make bench  run the benchmark and write docs/PERFORMANCE.md
#   make docs   redraw docs/window.png and the application icon
#   make deb    a Debian package with the menu entry

BUILD ?= build
JOBS ?= 2
SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)

BUILD_PACKAGES := cmake g++ make libgtest-dev qt6-base-dev fonts-dejavu-core
TEST_PACKAGES := $(BUILD_PACKAGES)
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

.PHONY: all deps test-deps bench-deps build run test bench docs deb clean

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

test: test-deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS)
	cd $(BUILD) && ctest -j$(JOBS) --output-on-failure

bench: bench-deps build
	cmake --build $(BUILD) --target zelk-bench-gen
	bash bench/run.sh $(BUILD) $(SIZES)

docs: build
	QT_QPA_PLATFORM=offscreen $(BUILD)/src/ui/zelkpatcher-snapshot docs/window.png data/zelkpatcher.png

deb: build
	cd $(BUILD) && cpack

clean:
	rm -rf $(BUILD)
