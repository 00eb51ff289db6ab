#!/usr/bin/env bash
# Installs what the build needs (Debian 12 packages), builds, and then runs
# the demonstration or the test suite.
#
#   tools/setup.sh demo             release build, install under out/zel, run the demonstration
#   tools/setup.sh test             release build, the whole test suite
#   tools/setup.sh test --sanitize  the same under address and undefined-behaviour sanitizers
#   tools/setup.sh test --tsan      the tests labelled concurrency under the thread sanitizer
#   tools/setup.sh build [CONFIG]   only build (release, debug, asan or tsan)
#   tools/setup.sh fuzz [SECONDS]   build the fuzz targets with clang and run each (default 60 s)
#   tools/setup.sh soak [MINUTES]   release build, then 16 clients against one zelhost (default 10 min)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

packages=(build-essential cmake ninja-build pkg-config git groff-base
          libgtest-dev libgmock-dev libbenchmark-dev libzmq3-dev
          clang libclang-rt-14-dev)

install_dependencies() {
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# build CONFIG [ARGS...]: configure and build build/CONFIG; ARGS go to the
# build (e.g. --target NAME).
build() {
  local config=$1 flags=()
  shift
  case $config in
    release) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    debug) flags=(-DCMAKE_BUILD_TYPE=Debug) ;;
    asan) flags=(-DCMAKE_BUILD_TYPE=Debug -DZEL_SANITIZE=ON -DZEL_BUILD_BENCH=OFF) ;;
    tsan) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_TSAN=ON -DZEL_BUILD_BENCH=OFF) ;;
    *) echo "unknown configuration: $config" >&2; exit 2 ;;
  esac
  cmake -S "$root" -B "$root/build/$config" -G Ninja -DZEL_WERROR=ON "${flags[@]}" >/dev/null
  cmake --build "$root/build/$config" -j "$(nproc)" "$@"
}

# fuzz SECONDS: every libFuzzer target in build/fuzz (clang, address and
# undefined-behaviour sanitizers), each run for SECONDS under CTest from
# its seeds in tests/fuzz/corpus and what earlier runs found.
fuzz() {
  local seconds=$1
  cmake -S "$root" -B "$root/build/fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DZEL_FUZZ=ON -DZEL_BUILD_BENCH=OFF \
    -DZEL_FUZZ_SECONDS="$seconds" >/dev/null
  cmake --build "$root/build/fuzz" -j "$(nproc)" --target fuzz_targets
  (cd "$root/build/fuzz" && ctest --output-on-failure --label-regex fuzz)
}

run_tests() {
  local config=$1; shift
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  (cd "$root/build/$config" && ctest -j "$(nproc)" --output-on-failure --label-exclude fuzz "$@")
}

# run_reported CONFIG PATTERN [CTEST ARGS...]: the tests of CONFIG, whose
# sanitizer options send every process's reports to files of
# build/CONFIG/reports (made empty by reports_dir); a report there that
# matches PATTERN fails the run. The manager, zelhost and the PC programs
# run detached, with no stderr that a test reads, and their exit codes are
# not what a test judges.
reports_dir() {
  local reports=$root/build/$1/reports
  rm -rf "$reports"
  mkdir -p "$reports"
  echo "$reports"
}

run_reported() {
  local config=$1 pattern=$2; shift 2
  local reports=$root/build/$config/reports status=0 found
  run_tests "$config" "$@" || status=$?
  found=$(grep -lE "$pattern" "$reports"/report.* 2>/dev/null || true)
  if [ -n "$found" ]; then
    cat $found
    echo "$config: sanitizer reports of $(wc -w <<<"$found") process(es) in $reports" >&2
    return 1
  fi
  return "$status"
}

# The tests labelled "concurrency" under the thread sanitizer: every test
# where threads or processes exchange data, the end-to-end ones with the
# real manager, whose threads are instrumented too, and the fault sweep
# (about 10 min of the run on 2 cores). A warning (a race, a misused
# lock, ...) fails the run; a crash is the tests' to judge.
# A process goes on after a report (halt_on_error=0), so that a test does
# not report the death of a process in mid-exchange instead.
# die_after_fork=0: the tests that fork a child of a process with threads
# would otherwise end in the child at its first new thread.
run_tsan_tests() {
  local reports
  reports=$(reports_dir tsan)
  export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=0:second_deadlock_stack=1:die_after_fork=0:suppressions=$root/tools/tsan.supp:log_path=$reports/report}
  run_reported tsan 'WARNING: ThreadSanitizer' --label-regex concurrency
}

# The whole suite under the address and undefined-behaviour sanitizers; an
# error or a leak in any process fails the run.
run_asan_tests() {
  local reports
  reports=$(reports_dir asan)
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:log_path=$reports/report}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1:log_path=$reports/report}
  run_reported asan 'ERROR: (Address|Leak)Sanitizer|runtime error:'
}

command=${1:-}
case $command in
  demo)
    install_dependencies
    build release
    rm -rf "$root/out/zel"
    cmake --install "$root/build/release" --prefix "$root/out/zel" >/dev/null
    exec "$root/tools/demo.sh" "$root/out/zel"
    ;;
  test)
    install_dependencies
    case ${2:-} in
      --sanitize) build asan; run_asan_tests ;;
      --tsan) build tsan; run_tsan_tests ;;
      "") build release; run_tests release ;;
      *) echo "unknown option: $2" >&2; exit 2 ;;
    esac
    ;;
  fuzz)
    install_dependencies
    fuzz "${2:-60}"
    ;;
  soak)
    minutes=${2:-10}
    [[ $minutes =~ ^[0-9]+(\.[0-9]+)?$ ]] || { echo "soak: MINUTES is a number: $minutes" >&2; exit 2; }
    install_dependencies
    build release --target zelsoak
    exec "$root/build/release/bench/zelsoak" --minutes "$minutes"
    ;;
  build)
    install_dependencies
    build "${2:-release}"
    ;;
  *)
    sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
