# `make demo` runs the example pipeline, then the command line, on an embedded server; `make test` runs
# every test. Both create the virtual environment and build the package first.
PYTHON ?= $(shell .ci/find-python)
VENV := .venv
PY := $(VENV)/bin/python
DEPS := scikit-build-core "nanobind>=3.1,<4" build "motor>=3.6,<4" pytest hypothesis mypy SecantusDB==0.7.0b3
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml

.PHONY: demo test bench asan install dist clean

$(VENV)/.deps: pyproject.toml Makefile
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(DEPS)
	touch $@

$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation --no-deps .
	touch $@

install: $(VENV)/.installed

test: install
	$(PY) -m pytest -q

demo: install
	$(PY) examples/pipeline.py
	$(PY) examples/cli_demo.py

bench: install
	$(PY) bench/run_all.py

# An sdist and a wheel in dist/, the wheel built from the sdist (so the sdist
# is known to be complete), for the interpreter of $(VENV).
dist: $(VENV)/.deps
	rm -rf dist
	$(PY) -m build --no-isolation --outdir dist .

# The extensions built with AddressSanitizer and UndefinedBehaviorSanitizer,
# in their own environment, running the tests that use the recording fake.
ASAN_VENV := .venv-asan
asan:
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install -q --upgrade pip
	$(ASAN_VENV)/bin/python -m pip install -q $(DEPS)
	$(ASAN_VENV)/bin/python -m pip install -q --no-build-isolation --no-deps \
	    -Cbuild-dir=build/asan -Ccmake.build-type=Debug -Ccmake.define.KESTREL_SANITIZE=ON .
	KESTREL_SANITIZED=1 ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so):$$(gcc -print-file-name=libubsan.so)" \
	    $(ASAN_VENV)/bin/python -m pytest -q -m "not integration" -p no:cacheprovider

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV)
