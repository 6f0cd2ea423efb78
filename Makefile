# Entry points: `make test`, `make demo`, `make bench`. Each sets up what is
# missing first: the free-threaded interpreter (built into ~/.cache/quorvel on
# first use, about 5 minutes), .venv with the tools, and the module itself.
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV := .venv
PY := $(VENV)/bin/python
BUILD := build
JOBS ?= $(shell nproc)

.PHONY: test demo bench venv module native-tests frame-tests sanitizer-tests check314 pytest typecheck clean \
	test-tsan test-refleak fuzz soak

venv: $(VENV)/.ready

$(VENV)/.ready: requirements-dev.txt scripts/venv.sh scripts/python.sh scripts/common.sh
	scripts/venv.sh
	touch $@

# Rebuilds incrementally in build/wheel and installs the wheel into .venv.
module: venv
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .
	$(PY) -c "import _quorvel"

native-tests: venv
	scripts/native-tests.sh plain

sanitizer-tests: venv
	scripts/native-tests.sh thread
	scripts/native-tests.sh address

frame-tests: venv
	scripts/native-tests.sh frame

check314: venv
	scripts/check314.sh

pytest: module
	$(PY) -m pytest -q tests

typecheck: module
	$(VENV)/bin/mypy examples

test: module native-tests frame-tests sanitizer-tests check314 pytest typecheck

demo: module
	$(PY) examples/demo.py

bench: module
	@for p in $$(grep -v '^#' bench/requirements.txt); do \
		$(PY) -m pip install -q --disable-pip-version-check --only-binary=:all: $$p \
			|| echo "[quorvel] $$p does not install for this interpreter: its benchmarks are skipped"; \
	done
	mkdir -p $(BUILD)
	set -o pipefail; scripts/native-tests.sh bench | tee $(BUILD)/native-bench.txt
	$(PY) bench/run.py --native $(BUILD)/native-bench.txt

# The Python suite under ThreadSanitizer: a free-threaded interpreter built
# with --with-thread-sanitizer (built into ~/.cache/quorvel on first use, a
# few minutes), the module compiled with -fsanitize=thread, the interpreter's
# own suppressions for free threading plus tests/tsan-python.supp. Any report
# fails the run. QUORVEL_TSAN=1 lets the heaviest stress tests use smaller
# sizes; every test still runs.
test-tsan:
	scripts/checked-venv.sh tsan >/dev/null
	@mkdir -p $(BUILD)/py-tsan
	cat $$(dirname $$(dirname $$(readlink -f $$(cat .venv-tsan/.interpreter))))/share/tsan/suppressions_free_threading.txt \
		tests/tsan-python.supp > $(BUILD)/py-tsan/suppressions.txt
	rm -f $(BUILD)/py-tsan/report.*
	@# allocator_may_return_null: a refused huge allocation fails as in a
	@# normal build (MemoryError), instead of ending the process.
	QUORVEL_TSAN=1 PYTHONFAULTHANDLER=1 \
	TSAN_OPTIONS="halt_on_error=0 exitcode=66 second_deadlock_stack=1 allocator_may_return_null=1 log_path=$(CURDIR)/$(BUILD)/py-tsan/report suppressions=$(CURDIR)/$(BUILD)/py-tsan/suppressions.txt" \
		.venv-tsan/bin/python -m pytest -q -p no:cacheprovider -o timeout=900 tests
	@# Reports of child processes and of captured tests land in these files.
	@if ls $(BUILD)/py-tsan/report.* >/dev/null 2>&1; then cat $(BUILD)/py-tsan/report.*; \
		echo "[quorvel] ThreadSanitizer reports above"; exit 1; fi
	@echo "[quorvel] test-tsan: no ThreadSanitizer reports"

# Reference leaks: each test file's tests run 2 warm-up + 3 measured times
# under a --with-pydebug free-threaded interpreter (cached like the above);
# a file whose total reference count or live block count grows in every
# measured round fails (see scripts/refleak.py). As regrtest does, each file
# runs in a fresh process, so what one file imports cannot skew another's
# counts. hypothesis' pytest plugin keeps per-run statistics that would read
# as a leak; the fuzz tests do not need it.
REFLEAK ?= 2:3
test-refleak:
	scripts/checked-venv.sh debug >/dev/null
	@failed=""; for f in tests/test_*.py; do \
		PYTHONPATH=$(CURDIR)/scripts QUORVEL_REFLEAK=1 .venv-debug/bin/python -m pytest -q -p no:cacheprovider \
			-p no:hypothesispytest -p refleak --refleak=$(REFLEAK) -o timeout=900 $$f; \
		rc=$$?; [ $$rc = 0 ] || [ $$rc = 5 ] || failed="$$failed $$f"; \
	done; \
	if [ -n "$$failed" ]; then echo "[quorvel] test-refleak failed:$$failed"; exit 1; fi; \
	echo "[quorvel] test-refleak: no leaks"

# Model-based fuzzing with the long profile (make test runs a short one).
fuzz: module
	HYPOTHESIS_PROFILE=long $(PY) -m pytest -q -p no:cacheprovider tests/test_fuzz_map.py \
		tests/test_fuzz_channel.py tests/test_fuzz_args.py -o timeout=3600

# Every primitive from many threads for a few minutes (SOAK_SECONDS).
SOAK_SECONDS ?= 180
soak: module
	$(PY) bench/soak.py --seconds $(SOAK_SECONDS)

clean:
	rm -rf $(BUILD)
