# Entry points: `make test`, `make demo`, `make bench`. Each sets up what is
# missing first: the free-threaded interpreter (built into ~/.cache/quorvel on
# first use, about 5 minutes), .venv with the tools, and the module itself.
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV := .venv
PY := $(VENV)/bin/python
BUILD := build
JOBS ?= $(shell nproc)

.PHONY: test demo bench venv module native-tests frame-tests sanitizer-tests check314 pytest typecheck clean

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

clean:
	rm -rf $(BUILD)
