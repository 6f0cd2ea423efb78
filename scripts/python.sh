#!/usr/bin/env bash
# Prints the path of a free-threaded CPython interpreter, building one if needed.
# Order: $PYTHON; python3.14t or python3.13t on PATH; a previous build in the
# cache; otherwise CPython 3.13 built with --disable-gil from the pristine
# upstream tarball of Debian's python3.13 source package (about 5 minutes).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"

is_free_threaded() {
    "$1" -c 'import sys, sysconfig
sys.exit(0 if sysconfig.get_config_var("Py_GIL_DISABLED") and sys.version_info >= (3, 13) else 1)' 2>/dev/null
}

if [ -n "${PYTHON:-}" ]; then
    is_free_threaded "$PYTHON" || die "PYTHON=$PYTHON is not a free-threaded CPython 3.13 or newer"
    echo "$PYTHON"; exit 0
fi
for cand in python3.14t python3.13t; do
    if p=$(command -v "$cand" 2>/dev/null) && is_free_threaded "$p"; then echo "$p"; exit 0; fi
done

prefix_glob=("$QUORVEL_CACHE"/cpython-*t/bin/python3.13t)
for p in "${prefix_glob[@]}"; do
    if [ -x "$p" ] && [ -f "$(dirname "$(dirname "$p")")/.complete" ] && is_free_threaded "$p"; then
        echo "$p"; exit 0
    fi
done

# Serialise concurrent builds (make test and make demo started together).
exec 9>"$QUORVEL_CACHE/python-build.lock"
flock 9
for p in "${prefix_glob[@]}"; do
    if [ -x "$p" ] && [ -f "$(dirname "$(dirname "$p")")/.complete" ]; then echo "$p"; exit 0; fi
done

log "no free-threaded interpreter found: building CPython 3.13 (--disable-gil); this takes about 5 minutes"
apt_install build-essential pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev libbz2-dev \
    liblzma-dev libsqlite3-dev libreadline-dev libncurses-dev uuid-dev libgdbm-dev
prefix=$(build_cpython t --disable-gil)
echo "$prefix/bin/python3.13t"
