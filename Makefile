# Two entry points: `make demo` and `make test`. Each installs what it needs
# on a fresh Debian machine (as root) before building.
PYTHON ?= python3
BUILD_DIR ?= build/cpp
JOBS ?= 2
APT_PACKAGES := librust-blake3-dev libgtest-dev pkg-config g++ make

.PHONY: demo test system-deps python-deps cpp-build cpp-test python-install python-test

demo: system-deps python-deps cpp-build
	@if [ -f examples/quickstart.py ]; then \
	  $(MAKE) --no-print-directory python-install && $(PYTHON) examples/quickstart.py; \
	else \
	  ./$(BUILD_DIR)/engine_demo; \
	fi

test: system-deps python-deps cpp-test python-test

system-deps:
	@missing=""; for p in $(APT_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	fi

python-deps:
	@$(PYTHON) -m pip install -q --disable-pip-version-check scikit-build-core cmake ninja pytest hypothesis numpy

cpp-build:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_DIR) -j $(JOBS)

cpp-test: cpp-build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

python-install:
	$(PYTHON) -m pip install -q --disable-pip-version-check --no-build-isolation .

python-test:
	@if ls src/python_bindings/*.cpp >/dev/null 2>&1 && ls tests/python/test_*.py >/dev/null 2>&1; then \
	  $(MAKE) --no-print-directory python-install && $(PYTHON) -m pytest -q tests/python; \
	else \
	  echo "no Python module yet: Python tests skipped"; \
	fi
