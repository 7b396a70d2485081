#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang and runs each one for a
# short while on a scratch copy of its seed corpus (the repository's corpus
# is never written to). Fails when a target fails to build or a fuzzer finds
# a crash, a sanitizer report or a broken property.
#
# Environment:
#   FUZZ_SECONDS    seconds per target (default 20); 0 replays the seed
#                   corpus once without fuzzing
#   FUZZ_TARGETS    targets to run (default: all four)
#   FUZZ_BUILD_DIR  build directory (default: build/fuzz)
#   FUZZ_MAX_LEN    largest input in bytes (default: 4096)
#   JOBS            parallel compile jobs (default: 2)
#
# Crash inputs go to $FUZZ_BUILD_DIR/artifacts/<target>/; reproduce one with
#   $FUZZ_BUILD_DIR/fuzz/<target> <file>
set -euo pipefail

cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-20}
build_dir=${FUZZ_BUILD_DIR:-build/fuzz}
max_len=${FUZZ_MAX_LEN:-4096}
jobs=${JOBS:-2}
read -r -a targets <<< "${FUZZ_TARGETS:-fuzz_canonical fuzz_mermaid fuzz_memory_backend fuzz_value_codec}"

if ! [[ $seconds =~ ^[0-9]+$ ]]; then
  echo "fuzz: FUZZ_SECONDS must be a whole number of seconds, got '$seconds'" >&2
  exit 2
fi

# --- Toolchain -------------------------------------------------------------

apt_updated=0
apt_install() {
  if [[ $apt_updated == 0 ]]; then
    apt-get update -qq
    apt_updated=1
  fi
  echo "fuzz: installing $*"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

# The packages every build here needs, clang among them, are listed once in
# scripts/debian-packages.txt; the Makefile installs the same list.
missing=()
while read -r package; do
  package=${package%%#*}
  package=${package//[[:space:]]/}
  [[ -z $package ]] && continue
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done < scripts/debian-packages.txt
if (( ${#missing[@]} > 0 )); then
  apt_install "${missing[@]}"
fi
command -v cmake >/dev/null || apt_install cmake
# libFuzzer ships with the compiler runtime package of clang's own version.
if [[ ! -f "$(clang++ -print-runtime-dir)/libclang_rt.fuzzer-x86_64.a" ]]; then
  major=$(clang++ -dumpversion | cut -d. -f1)
  apt_install "libclang-rt-${major}-dev"
fi

# --- Build -----------------------------------------------------------------

# Optimised, but with assertions left on: an assert that fires is a finding.
cmake -S . -B "$build_dir" \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG="-O2 -g" -DCMAKE_CXX_FLAGS_DEBUG="-O2 -g" \
  -DQUILLON_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build_dir" -j "$jobs" --target "${targets[@]}"

# --- Run -------------------------------------------------------------------

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

passed=0
failed=0
for target in "${targets[@]}"; do
  corpus="$scratch/$target"
  mkdir -p "$corpus"
  if [[ -d fuzz/corpus/$target ]]; then
    cp -R "fuzz/corpus/$target/." "$corpus/"
  fi
  artifacts="$build_dir/artifacts/$target"
  mkdir -p "$artifacts"
  log="$build_dir/$target.log"

  # One process, one thread: the machine is shared.
  args=(-timeout=10 -rss_limit_mb=2048 -max_len="$max_len" -print_final_stats=1
        -artifact_prefix="$artifacts/")
  if [[ $seconds == 0 ]]; then
    args+=(-runs=0)
  else
    args+=(-max_total_time="$seconds")
  fi

  echo "fuzz: $target for ${seconds}s (log: $log)"
  if "$build_dir/fuzz/$target" "${args[@]}" "$corpus" >"$log" 2>&1; then
    passed=$((passed + 1))
    runs=$(grep -a -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
    cov=$(grep -a -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1 || true)
    echo "fuzz: $target ok: ${runs:-?} executions, ${cov:-no coverage line}"
  else
    failed=$((failed + 1))
    echo "fuzz: $target FAILED; last lines of $log:"
    tail -n 40 "$log"
    echo "fuzz: crash inputs in $artifacts/"
  fi
done

echo "fuzz: $passed passed, $failed failed"
[[ $failed == 0 ]]
