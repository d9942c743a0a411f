# `make demo` runs the example pipeline, then the command line, on an embedded server; `make test` runs
# every test. Both create the virtual environment and build the package first. `make test-3.14` runs
# every test on CPython 3.14 as well, in an environment of its own.
PYTHON ?= $(shell .ci/find-python)
VENV := .venv
# CPython 3.14 (from .ci/find-python 3.14, or PYTHON314=...) has an environment of its own:
# `make test-3.14`, `make dist VENV=.venv-3.14`. The test server has no wheel for it, so that
# environment goes without; its server tests run against one started from .venv.
PYTHON314 ?= $(shell .ci/find-python 3.14)
VENV314 := .venv-3.14
SERVER_DEPS := SecantusDB==0.7.0b3
ifeq ($(VENV),$(VENV314))
PYTHON = $(PYTHON314)
SERVER_DEPS :=
endif
PY := $(VENV)/bin/python
DEPS := scikit-build-core "nanobind>=3.1,<4" build "motor>=3.6,<4" pytest hypothesis mypy $(SERVER_DEPS)
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml
# The compiler also looks in the include folder of the interpreter's own prefix: an interpreter
# unpacked from Debian's packages (.ci/find-python 3.14) has its pyconfig.h in a subfolder there.
BUILD_ENV = CPATH="$$($(PY) -c 'import sys; print(sys.base_prefix)')/include$${CPATH:+:$$CPATH}"

.PHONY: demo test test-3.14 bench asan install dist clean

$(VENV)/.deps: pyproject.toml Makefile
	.ci/make-venv $(PYTHON) $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(DEPS)
	touch $@

$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	$(BUILD_ENV) $(PY) -m pip install -q --no-build-isolation --no-deps .
	touch $@

install: $(VENV)/.installed

test: install
	$(PY) -m pytest -q

# Every test on CPython 3.14, the server tests against SecantusDB started from $(VENV).
test-3.14: install
	$(MAKE) install VENV=$(VENV314)
	$(PY) tests/server.py --run $(VENV314)/bin/python -m pytest -q

demo: install
	$(PY) examples/pipeline.py
	$(PY) examples/cli_demo.py

bench: install
	$(PY) bench/run_all.py

# An sdist and a wheel in dist/, the wheel built from the sdist (so the sdist
# is known to be complete), for the interpreter of $(VENV).
dist: $(VENV)/.deps
	rm -rf dist
	$(BUILD_ENV) $(PY) -m build --no-isolation --outdir dist .

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
	rm -rf build dist $(VENV) $(VENV314) $(ASAN_VENV)
