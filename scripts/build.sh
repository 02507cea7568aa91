#!/usr/bin/env bash
# Builds the Linux and the Windows build into build/ and stages both installed layouts in dist/.
# Usage: scripts/build.sh [linux|windows|asan|tsan|bench|fuzz]...   (default: linux windows)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${VDS_JOBS:-2}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(linux windows)

for t in "${targets[@]}"; do
  case "$t" in
    linux)   args=() ;;
    windows) args=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake) ;;
    asan)    args=(-DVDS_SANITIZE=address,undefined -DVDS_DIST_DIR="$PWD/build/asan/dist") ;;
    tsan)    args=(-DVDS_SANITIZE=thread -DVDS_DIST_DIR="$PWD/build/tsan/dist") ;;
    bench)   args=(-DVDS_BUILD_BENCH=ON -DVDS_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release -DVDS_DIST_DIR="$PWD/build/bench/dist") ;;
    fuzz)    args=(-DVDS_BUILD_FUZZ=ON -DVDS_BUILD_TESTS=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVDS_DIST_DIR="$PWD/build/fuzz/dist") ;;
    *) echo "unknown build: $t" >&2; exit 2 ;;
  esac
  echo "== build $t"
  started=$SECONDS
  cmake -S . -B "build/$t" -G Ninja "${args[@]}" >/dev/null
  # The sanitizer builds serve the unit test programs and the fuzz build its targets only: the
  # tools and installers come from the plain builds.
  only=()
  case "$t" in
    asan|tsan) only=($(ninja -C "build/$t" -t targets all | sed -n 's/^\([A-Za-z0-9_]*_tests\): .*/\1/p' | grep -v "^cmake_" | sort -u)) ;;
    fuzz) only=($(ninja -C "build/$t" -t targets all | sed -n 's/^\([A-Za-z0-9_]*_fuzz\): .*/\1/p' | grep -v "^cmake_" | sort -u)) ;;
  esac
  if ! ninja -C "build/$t" -j "$jobs" "${only[@]}" >"build/$t.log" 2>&1; then
    grep -v '^\[' "build/$t.log" | head -80
    echo "build $t failed"
    exit 1
  fi
  echo "   build $t: $((SECONDS - started)) s"
done
