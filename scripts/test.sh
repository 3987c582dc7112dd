#!/usr/bin/env bash
# Installs what the build needs, builds everything and runs the whole test suite.
#   scripts/test.sh                 normal build in build/
#   scripts/test.sh address         AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/
#   scripts/test.sh thread          ThreadSanitizer in build-tsan/
#   scripts/test.sh clang           clang++ with the lock analysis (-Wthread-safety) in build-clang/
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sanitize=${1:-}
bash "$root/scripts/install-deps.sh"
# The browser test's Node packages, pinned by tests/browser/package-lock.json; npm runs only
# when the lock file changed since the last install, so later runs need no network.
browser="$root/tests/browser"
stamp="$browser/node_modules/.installed-lock.json"
if command -v npm >/dev/null && ! cmp -s "$browser/package-lock.json" "$stamp"; then
  (cd "$browser" && npm ci --no-audit --no-fund --ignore-scripts)
  cp "$browser/package-lock.json" "$stamp"
fi
case "$sanitize" in
  "") dir="$root/build"; extra=() ;;
  address) dir="$root/build-asan"; extra=(-DVH_SANITIZE=address -DVH_BUILD_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=Debug) ;;
  thread) dir="$root/build-tsan"; extra=(-DVH_SANITIZE=thread -DVH_BUILD_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  clang) dir="$root/build-clang"; extra=(-DCMAKE_CXX_COMPILER=clang++ -DVH_THREAD_SAFETY=ON -DVH_BUILD_BENCHMARKS=OFF) ;;
  *) echo "unknown mode: $sanitize" >&2; exit 2 ;;
esac
bash "$root/scripts/build.sh" "$dir" "${extra[@]}"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
cd "$dir"
ctest --output-on-failure --timeout 300 -j2
