#!/usr/bin/env bash
# Builds and runs the native programs.
#   plain    engine tests (GoogleTest), normal build
#   clang    engine tests built with clang++ (build/clang), since both
#            compilers must build the engines and their tests
#   thread   engine tests under ThreadSanitizer
#   address  engine tests under AddressSanitizer (leaks fail the run)
#   frame    call-frame tests, which embed the interpreter
#   bench    native benchmarks (Release), run them
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
. "$here/common.sh"
mode=${1:?usage: native-tests.sh plain|clang|thread|address|frame|bench}
venv="$root/.venv"
export PATH="$venv/bin:$PATH"
jobs=${JOBS:-$(nproc)}

configure() {  # build dir, then cmake options
    local dir=$1; shift
    cmake -S "$root" -B "$dir" -G Ninja -Wno-dev "$@" >/dev/null
}

run_tests() {  # build dir
    local dir=$1 t
    for t in sync_tests engine_tests map_tests frame_tests; do
        [ -x "$dir/$t" ] || continue
        log "running $t ($mode)"
        "$dir/$t" --gtest_brief=1
    done
}

case "$mode" in
    plain)
        configure "$root/build/native" -DQUORVEL_NATIVE_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
        cmake --build "$root/build/native" -j"$jobs"
        run_tests "$root/build/native" ;;
    clang)
        apt_install clang
        configure "$root/build/clang" -DQUORVEL_NATIVE_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DCMAKE_CXX_COMPILER=clang++
        cmake --build "$root/build/clang" -j"$jobs"
        run_tests "$root/build/clang" ;;
    thread)
        configure "$root/build/tsan" -DQUORVEL_NATIVE_TESTS=ON -DQUORVEL_SANITIZE=thread \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo
        cmake --build "$root/build/tsan" -j"$jobs"
        export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
        if [ -f "$root/tests/native/tsan.supp" ]; then
            TSAN_OPTIONS+=" suppressions=$root/tests/native/tsan.supp"
        fi
        run_tests "$root/build/tsan" ;;
    address)
        configure "$root/build/asan" -DQUORVEL_NATIVE_TESTS=ON -DQUORVEL_SANITIZE=address \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo
        cmake --build "$root/build/asan" -j"$jobs"
        export ASAN_OPTIONS="detect_leaks=1 halt_on_error=1 ${ASAN_OPTIONS:-}"
        run_tests "$root/build/asan" ;;
    frame)
        python=$(cat "$venv/.interpreter")
        configure "$root/build/frame" -DQUORVEL_FRAME_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DPython_EXECUTABLE="$python"
        cmake --build "$root/build/frame" -j"$jobs"
        run_tests "$root/build/frame" ;;
    bench)
        configure "$root/build/bench" -DQUORVEL_NATIVE_BENCH=ON -DCMAKE_BUILD_TYPE=Release
        cmake --build "$root/build/bench" -j"$jobs"
        for b in "$root"/build/bench/*_bench; do
            [ -x "$b" ] || continue
            log "running $(basename "$b")"
            "$b"
        done ;;
    *) die "unknown mode: $mode" ;;
esac
