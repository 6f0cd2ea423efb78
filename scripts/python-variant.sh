#!/usr/bin/env bash
# Usage: scripts/python-variant.sh tsan|debug
# Prints the path of a checking build of the same free-threaded CPython that
# scripts/python.sh builds, building it into the cache folder on first use:
#   tsan   --disable-gil --with-thread-sanitizer, compiled with Debian's clang
#   debug  --disable-gil --with-pydebug (sys.gettotalrefcount, debug allocator)
# The TSan build leaves out the interpreter's own test modules (nothing here
# uses them); the debug build keeps them for _testinternalcapi, which the
# leak runner needs. Both byte-compile only the top level of the standard
# library at install (CPYTHON_PYC in common.sh).
# Each takes a few minutes on two idle cores; they run niced so that they can
# share the machine with other work. CPYTHON_JOBS and CPYTHON_NICE override that.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"

variant=${1:-}
case "$variant" in
    tsan)  suffix=t-tsan;  args=(--disable-gil --with-thread-sanitizer --disable-test-modules CC=clang CXX=clang++) ;;
    debug) suffix=td;      args=(--disable-gil --with-pydebug) ;;
    *) die "usage: $0 tsan|debug" ;;
esac

find_built() {
    local p
    for p in "$QUORVEL_CACHE"/cpython-*"$suffix"/bin/python3.13*; do
        case "$p" in *-config) continue ;; esac
        if [ -x "$p" ] && [ -f "$(dirname "$(dirname "$p")")/.complete" ]; then echo "$p"; return 0; fi
    done
    return 1
}

find_built && exit 0
# One lock per variant: the plain interpreter and the other variant can be
# built at the same time.
exec 9>"$QUORVEL_CACHE/python-build-$variant.lock"
flock 9
find_built && exit 0

log "building the $variant variant of CPython 3.13; this takes a few minutes"
apt_install build-essential pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev libbz2-dev \
    liblzma-dev libsqlite3-dev libreadline-dev libncurses-dev uuid-dev libgdbm-dev
if [ "$variant" = tsan ]; then
    # clang's sanitizer runtimes come in a package of their own.
    apt_install clang
    apt_install "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"
fi
# The freshly built interpreter runs during the build (ensurepip, byte
# compiling): its own races must not fail the build.
export TSAN_OPTIONS="report_bugs=0 exitcode=0"
CPYTHON_PYC=top CPYTHON_NICE=${CPYTHON_NICE:-10} CPYTHON_JOBS=${CPYTHON_JOBS:-2} build_cpython "$suffix" "${args[@]}" >/dev/null
find_built || die "the $variant build finished but no interpreter was found"
