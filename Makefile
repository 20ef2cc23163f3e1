# The two commands of the README:
#   make demo   install what is missing, build, provision the default card, run the main jobs
#   make test   install what is missing, build three times (normal with -Werror, under
#               AddressSanitizer + UndefinedBehaviorSanitizer, and the fuzz targets), run
#               every test in the first two, every fuzz target for a bounded time, and
#               the first build's tests once more under valgrind memcheck
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 30
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja

.PHONY: all deps build build-asan build-fuzz card test check check-asan fuzz fuzz-long valgrind demo install clean format

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORPIN_WERROR=ON

$(ASAN_BUILD)/build.ninja: | deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DVORPIN_WERROR=ON \
	  -DVORPIN_SANITIZE=ON

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# The normal build's suite.
check: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The whole suite under the sanitizers; leaks inside SoftHSM2 itself are
# suppressed by module name. Allocation failures are tested, so the
# allocator answers null instead of aborting.
check-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:allocator_may_return_null=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

$(FUZZ_BUILD)/build.ninja: | deps
	CC=clang-14 CXX=clang++-14 cmake -S . -B $(FUZZ_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	  -DVORPIN_FUZZ=ON -DVORPIN_BUILD_TESTS=OFF

build-fuzz: deps $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

# Every fuzz target for FUZZ_SECONDS (30 s each in CI); fuzz-long for an hour each.
fuzz: build-fuzz
	ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  scripts/run-fuzzers.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

fuzz-long:
	$(MAKE) fuzz FUZZ_SECONDS=3600

# The normal build's suite with every test program under valgrind memcheck:
# fails on any memory error or definite leak (SoftHSM2's own suppressed).
valgrind: build
	python3 scripts/run-valgrind.py $(BUILD)

test: check check-asan fuzz valgrind

# The default card in $(BUILD)/card, made once and kept from then on (data
# wrapped for its keys stays openable); make demo and the tests reuse it.
card: build
	scripts/provision-card.sh $(BUILD)/card $(BUILD)/card_order_probe $(BUILD)/libcard_listing_order.so

demo: build
	scripts/demo.sh $(BUILD)

install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
