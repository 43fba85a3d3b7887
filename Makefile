# The two commands of the README: `make run` and `make test`. Both install what is missing first.

PRESETS := native native-sanitize fuzz windows
GAME ?= build/windows/game
FUZZ_SECONDS ?= 60

.PHONY: deps run test release format-check build-% test-% bench fuzz format

deps:
	@scripts/install-deps

# A full game session of the Windows build, under Wine, in the game folder $(GAME). Builds only
# what a session needs: the runner, the loader and the plug-in.
run: deps
	cmake --preset windows >/dev/null
	cmake --build --preset windows --target orvelin-host
	scripts/play-session "$(GAME)"

# What a player downloads: dist/Orvelin-<version>-win64.zip, the plug-in with the runtime it needs;
# and what a modder does: dist/orvelin-scan-<version>-win64.zip, the tool with its runtime.
release: deps
	cmake --preset windows >/dev/null
	cmake --build --preset windows --target release

# Every test of both builds: the formatting, native, native with sanitizers, the fuzzers
# briefly, Windows.
test: deps
	@status=0; $(MAKE) --no-print-directory format-check || status=1; \
	for preset in $(PRESETS); do $(MAKE) --no-print-directory test-$$preset || status=1; done; exit $$status

format-check:
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.hpp')

build-%:
	cmake --preset $* >/dev/null
	cmake --build --preset $*

test-%: build-%
	ctest --preset $*

# Each fuzzer for FUZZ_SECONDS (make test gives each 15).
fuzz: deps build-fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) ctest --preset fuzz

# Every kernel against memchr and the peers: libhat where LIBHAT_SOURCE names a copy of its
# sources (built once into build/libhat), Hyperscan from Debian's packages.
LIBHAT_SOURCE ?=
bench:
	@scripts/install-deps libhyperscan-dev
	scripts/build-libhat "$(LIBHAT_SOURCE)" build/libhat
	cmake --preset native -DCMAKE_PREFIX_PATH="$(CURDIR)/build/libhat" >/dev/null
	cmake --build --preset native --target orvelin-bench
	scripts/fetch-msvc-corpus build/msvc-corpus
	build/native/orvelin-bench

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')
