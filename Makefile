# Two entry points: `make demo` and `make test`. Each installs what it needs
# on a fresh Debian machine (as root) before building.
PYTHON ?= python3
BUILD_DIR ?= build/cpp
JOBS ?= 2
TSA_BUILD_DIR ?= build/clang-tsa
APT_PACKAGES := $(shell sed -e 's/\#.*//' scripts/debian-packages.txt)

.PHONY: demo test system-deps python-deps cpp-build cpp-test cpp-thread-safety cpp-sanitize fuzz-short python-install python-test python-sanitize

demo: system-deps python-deps cpp-build
	@if [ -f examples/quickstart.py ]; then \
	  $(MAKE) --no-print-directory python-install && $(PYTHON) examples/quickstart.py; \
	else \
	  ./$(BUILD_DIR)/engine_demo; \
	fi

test: system-deps python-deps cpp-test cpp-thread-safety cpp-sanitize fuzz-short python-test python-sanitize

system-deps:
	@missing=""; for p in $(APT_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	fi

python-deps:
	@$(PYTHON) -m pip install -q --disable-pip-version-check scikit-build-core cmake ninja pytest hypothesis numpy pandas matplotlib scipy tqdm cloudpickle nbclient nbformat ipykernel "dask[distributed]"

cpp-build:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_DIR) -j $(JOBS)

cpp-test: cpp-build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# The engine and the extension built by clang with its thread-safety
# analysis, every warning an error: a lock annotation (src/thread_annotations.hpp)
# that the code breaks, such as a guarded field read without its mutex,
# fails the build. Nothing is run.
cpp-thread-safety:
	cmake -S . -B $(TSA_BUILD_DIR) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_CXX_FLAGS="-Wthread-safety -Werror" -DQUILLON_BUILD_PYTHON=ON -DPython_EXECUTABLE="$$(command -v $(PYTHON))" \
	  -DBUILD_TESTING=OFF
	cmake --build $(TSA_BUILD_DIR) -j $(JOBS)

# The C++ tests again under AddressSanitizer + UndefinedBehaviorSanitizer and,
# separately, ThreadSanitizer. Any report fails the run.
cpp-sanitize:
	cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DQUILLON_SANITIZE=address,undefined
	cmake --build build/asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --test-dir build/asan --output-on-failure -j $(JOBS)
	cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLON_SANITIZE=thread
	cmake --build build/tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --test-dir build/tsan --output-on-failure -j $(JOBS)

# Each fuzz target briefly, on a scratch copy of its seed corpus.
fuzz-short:
	FUZZ_SECONDS=$${FUZZ_SECONDS:-15} bash scripts/fuzz.sh

# The Python tests again against an ASan+UBSan build of the extension, with
# the sanitizer runtimes preloaded into the interpreter.
python-sanitize: python-deps
	PYTHON=$(PYTHON) JOBS=$(JOBS) bash scripts/python_sanitize.sh

python-install:
	$(PYTHON) -m pip install -q --disable-pip-version-check --no-build-isolation .

python-test:
	@if ls src/python_bindings/*.cpp >/dev/null 2>&1 && ls tests/python/test_*.py >/dev/null 2>&1; then \
	  $(MAKE) --no-print-directory python-install && $(PYTHON) -m pytest -q tests/python tests/stress; \
	else \
	  echo "no Python module yet: Python tests skipped"; \
	fi
