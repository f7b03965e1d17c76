# Everything a newcomer needs: `make demo` runs the engine on the bundled media,
# `make test` runs the test suite on every supported interpreter. Both set
# themselves up (virtual environments, system packages for the RTSP test server,
# the stand-in detection SDK and the engine).

PYTHONS ?= 3.8 3.11
PYENV_ROOT ?= $(HOME)/.pyenv
DEMO_PYTHON ?= 3.11
PIP_FLAGS = --quiet --disable-pip-version-check

interpreter = $(firstword $(wildcard $(PYENV_ROOT)/versions/$(1).*/bin/python$(1)) $(shell command -v python$(1)))
venv = .venv/py$(1)

.PHONY: test demo bench test-asan system-deps clean $(foreach v,$(PYTHONS),test-$(v))

test: system-deps $(foreach v,$(PYTHONS),test-$(v))

define python_rules
$(call venv,$(1))/.ready: pyproject.toml sdk/pyproject.toml requirements-dev.txt
	rm -rf $(call venv,$(1))
	$(call interpreter,$(1)) -m venv $(call venv,$(1))
	$(call venv,$(1))/bin/pip install $(PIP_FLAGS) --upgrade pip
	$(call venv,$(1))/bin/pip install $(PIP_FLAGS) -r requirements-dev.txt ./sdk
	touch $$@

# The engine is rebuilt at every run (incrementally) so tests see the sources.
install-$(1): $(call venv,$(1))/.ready
	$(call venv,$(1))/bin/pip install $(PIP_FLAGS) --no-build-isolation --no-deps .

test-$(1): install-$(1)
	$(call venv,$(1))/bin/python -m pytest -p no:cacheprovider $(PYTEST_ARGS) tests
endef
$(foreach v,$(sort $(PYTHONS) $(DEMO_PYTHON)),$(eval $(call python_rules,$(v))))

system-deps:
	bash tools/install-system-deps

demo: install-$(DEMO_PYTHON)
	$(call venv,$(DEMO_PYTHON))/bin/python tools/demo.py

clean:
	rm -rf build .venv
