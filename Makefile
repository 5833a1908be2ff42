# Stowlet: the two commands a newcomer needs, and a few more.
#   make run              installs what is missing, builds, runs the demo on the bundled sample
#   make test             the same set-up, then every test: the suite, the suite again under
#                         AddressSanitizer + UndefinedBehaviorSanitizer, the threads test under
#                         ThreadSanitizer, and each fuzz target for 30 seconds
#   make fuzz SECONDS=N   every fuzz target for N seconds (default 60)
#   make bench            the benchmarks (never part of the tests)
#   make bundle           Stowlet.mailbundle alone (on a Mac: build/macos/Stowlet.mailbundle,
#                         with Xcode's command-line tools and CMake only)
#   make install-bundle   installs it into Mail's plug-in folder, building it first when
#                         there is none: MAIL_APP=, BUNDLES_DIR=, MACOS_VERSION= to choose,
#                         ENABLE_BUNDLES=no to leave Mail's plug-in setting alone
#   make uninstall-bundle removes it from there
#   make install PREFIX=P the command, its GMime module and resources under P
#   make format           formats the sources with the committed .clang-format

PRESET   ?= default
BUILD    := build/$(PRESET)
SECONDS  ?= 60
# The demo keeps its settings inside the build folder, not in the user's home.
RUN_DEFAULTS := $(BUILD)/run-defaults.plist

# The bundle: on a Mac its own preset (nothing from a package manager), else the build's.
ifeq ($(shell uname -s),Darwin)
BUNDLE_PRESET := macos
else
BUNDLE_PRESET := $(PRESET)
endif
BUNDLE_PATH := build/$(BUNDLE_PRESET)/Stowlet.mailbundle
MAIL_APP ?=
BUNDLES_DIR ?= $(HOME)/Library/Mail/Bundles
MACOS_VERSION ?=
ENABLE_BUNDLES ?= yes
ifeq ($(BUNDLE_PRESET),macos)
BUNDLE_BINARY := $(BUNDLE_PATH)/Contents/MacOS/Stowlet
else
BUNDLE_BINARY := $(BUNDLE_PATH)/Stowlet
endif

.PHONY: bundle install-bundle uninstall-bundle install all deps configure build run test test-fast sanitize threads fuzz fuzz-build bench format format-check clean

all: build

deps:
	@./scripts/install-deps.sh

configure: deps
	cmake --preset $(PRESET)

build: configure
	cmake --build --preset $(PRESET)

ifeq ($(BUNDLE_PRESET),macos)
bundle:
	cmake --preset macos
	cmake --build --preset macos --target stowlet_bundle
else
bundle: configure
	cmake --build --preset $(PRESET) --target stowlet_bundle
endif

install-bundle:
	@[ -f $(BUNDLE_BINARY) ] || $(MAKE) bundle
	python3 scripts/install-bundle.py install $(BUNDLE_PATH) --bundles-dir "$(BUNDLES_DIR)" \
	  $(if $(MAIL_APP),--mail-app "$(MAIL_APP)") \
	  $(if $(MACOS_VERSION),--macos-version "$(MACOS_VERSION)") \
	  $(if $(filter no,$(ENABLE_BUNDLES)),--no-enable-bundles)

uninstall-bundle:
	python3 scripts/install-bundle.py uninstall --bundles-dir "$(BUNDLES_DIR)"

run: build
	./$(BUILD)/stowlet --defaults $(RUN_DEFAULTS) demo

test-fast: build
	ctest --preset $(PRESET) -j2

sanitize: deps
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan -j2

threads: deps
	cmake --preset tsan
	cmake --build --preset tsan
	ctest --preset tsan

fuzz-build: deps
	cmake --preset fuzz
	cmake --build --preset fuzz

fuzz: fuzz-build
	./scripts/run-fuzz.sh $(SECONDS)

test: format-check test-fast sanitize threads fuzz-build
	./scripts/run-fuzz.sh 30 1

bench: build
	python3 bench/run-peers.py $(BUILD)

# make install PREFIX=/opt/stowlet (default /usr/local)
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

format:
	git ls-files '*.cpp' '*.h' '*.mm' | xargs clang-format -i

# The committed .clang-format, held: a file it would change fails the tests.
format-check: deps
	git ls-files '*.cpp' '*.h' '*.mm' | xargs clang-format --dry-run --Werror

clean:
	rm -rf build
