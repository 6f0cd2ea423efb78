#!/usr/bin/env bash
# Compiles every source of the module against the CPython 3.14 headers of
# Debian's libpython3.14-dev (from sid, fetched through the private apt
# configuration and unpacked into the cache, never installed), as a
# free-threaded build (-DPy_GIL_DISABLED=1), once with g++ and once with
# clang++ (installed from the machine's apt sources if missing), since both
# compilers must build the module. Then checks the sources of the native test
# programs with clang++ alone (g++ builds and runs them in native-tests.sh),
# so that a construct only clang rejects fails here without a clang build.
# Fails on any error or warning.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
. "$here/common.sh"

dest="$QUORVEL_CACHE/python3.14-headers"
if [ ! -f "$dest/.complete" ]; then
    apt_private_setup
    rm -rf "$dest" && mkdir -p "$dest/deb"
    log "downloading libpython3.14-dev from sid"
    (cd "$dest/deb" && apt-get "${APT_OPTS[@]}" download libpython3.14-dev >/dev/null) \
        || die "could not download libpython3.14-dev"
    dpkg-deb -x "$dest"/deb/libpython3.14-dev_*.deb "$dest/root"
    touch "$dest/.complete"
fi
inc="$dest/root/usr/include"
[ -f "$inc/python3.14/Python.h" ] || die "Python.h missing from the unpacked libpython3.14-dev"

apt_install clang
compilers=("${CXX:-g++}" clang++)
failed=0
count=0
while IFS= read -r src; do
    count=$((count + 1))
    for cxx in "${compilers[@]}"; do
        if ! "$cxx" -std=c++20 -Wall -Wextra -Werror -fsyntax-only -DPy_GIL_DISABLED=1 \
                -I"$root/src" -I"$inc/python3.14" -I"$inc" "$src"; then
            log "does not compile with $cxx against the 3.14 headers: ${src#$root/}"
            failed=1
        fi
    done
done < <(find "$root/src" -name '*.cpp' | sort)
tests=0
while IFS= read -r src; do
    tests=$((tests + 1))
    if ! clang++ -std=c++20 -Wall -Wextra -Werror -fsyntax-only -DPy_GIL_DISABLED=1 \
            -DQUORVEL_DEBUG_CHECKS=1 -I"$root/src" -I"$inc/python3.14" -I"$inc" "$src"; then
        log "native test source does not compile with clang++: ${src#$root/}"
        failed=1
    fi
done < <(find "$root/tests/native" -name '*.cpp' | sort)
[ "$failed" = 0 ] || die "3.14 compile check failed"
log "3.14 compile check: $count sources compile against CPython 3.14 headers with ${compilers[*]}"
log "clang check: $tests native test sources compile with clang++"
