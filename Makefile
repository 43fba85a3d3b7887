# The two commands of the README: `make run` and `make test`. Both install what is missing first.

PRESETS := native native-sanitize fuzz windows
GAME ?= build/windows/game
FUZZ_SECONDS ?= 60

.PHONY: deps run test build-% test-% bench fuzz format

deps:
	@scripts/install-deps

# A full game session of the Windows build, under Wine, in the game folder $(GAME).
run: deps build-windows
	scripts/play-session "$(GAME)"

# Every test of both builds: native, native with sanitizers, the fuzzers briefly, Windows.
test: deps
	@status=0; for preset in $(PRESETS); do $(MAKE) --no-print-directory test-$$preset || status=1; done; exit $$status

build-%:
	cmake --preset $* >/dev/null
	cmake --build --preset $*

test-%: build-%
	ctest --preset $*

# Each fuzzer for FUZZ_SECONDS (make test gives each 15).
fuzz: deps build-fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) ctest --preset fuzz

bench: deps build-native
	build/native/orvelin-bench

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')
