#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ with clang in build-fuzz/ and runs each for N
# seconds (default 60) from its checked-in seed corpus. A crash, leak or sanitizer report
# fails the script. New inputs go to build-fuzz/corpus/, never into the source tree.
# The same build compiles every server layer with the lock analysis (-Wthread-safety, as
# errors), so a lock annotation the code breaks fails here too.
#   scripts/fuzz.sh [seconds]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
dir="$root/build-fuzz"
cxx=$(command -v clang++-14 || command -v clang++ || true)
if [ -z "$cxx" ]; then echo "fuzz.sh: clang++ is needed" >&2; exit 2; fi
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DVH_FUZZ=ON -DVH_THREAD_SAFETY=ON -DVH_WERROR=ON \
  -DVH_BUILD_TESTS=OFF -DVH_BUILD_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "${launcher[@]}" >/dev/null
harnesses=()
for f in "$root"/fuzz/*_fuzz.cpp; do harnesses+=("$(basename "$f" .cpp)"); done
layers=(vh_common vh_storage vh_model vh_transport vh_vserver vh_admin vh_weblist vh_host)
ninja -C "$dir" "${layers[@]}" "${harnesses[@]}"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
for h in "${harnesses[@]}"; do
  work="$dir/corpus/$h"
  mkdir -p "$work"
  log="$dir/$h.log"
  echo "== $h: $seconds s =="
  if ! (cd "$dir" && "$dir/bin/$h" -max_total_time="$seconds" -print_final_stats=1 \
          -timeout=10 -rss_limit_mb=2048 "$work" "$root/fuzz/corpus/$h" >"$log" 2>&1); then
    echo "$h FAILED, see $log" >&2
    tail -40 "$log" >&2
    status=1
    continue
  fi
  grep -E '^#[0-9]+' "$log" | tail -1 || true
  grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$log" || true
done
exit $status
