#!/usr/bin/env bash
# Usage: scripts/checked-venv.sh tsan|debug
# Sets up .venv-<variant> from the checking interpreter that
# scripts/python-variant.sh builds, installs the test tools into it, and
# builds and installs the module for it:
#   tsan   the module compiled with clang and -fsanitize=thread (the same
#          compiler and runtime as the interpreter), build dir build/py-tsan
#   debug  the module compiled against the pydebug headers, build dir
#          build/py-debug
# Safe to run again: only what is missing or changed is redone.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
. "$here/common.sh"

variant=${1:?usage: checked-venv.sh tsan|debug}
python=$("$here/python-variant.sh" "$variant")
venv="$root/.venv-$variant"
# The interpreter runs here, during set-up, before any of our code is loaded;
# its own start-up races are not what the test run looks for.
[ "$variant" = tsan ] && export TSAN_OPTIONS="report_bugs=0 exitcode=0"

if [ -x "$venv/bin/python" ] && [ "$(readlink -f "$(cat "$venv/.interpreter" 2>/dev/null)")" != "$(readlink -f "$python")" ]; then
    log "the $variant interpreter changed: recreating $venv"
    rm -rf "$venv"
fi
if [ ! -f "$venv/.ready" ] || [ "$root/requirements-dev.txt" -nt "$venv/.ready" ]; then
    [ -x "$venv/bin/python" ] || { log "creating $venv from $python"; "$python" -m venv "$venv"; }
    echo "$python" > "$venv/.interpreter"
    # The type checker is not needed for test runs (and has no wheel for every
    # interpreter flavour); the rest is what .venv has.
    grep -v -e '^#' -e '^mypy' "$root/requirements-dev.txt" > "$venv/requirements.txt"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: \
        -r "$venv/requirements.txt"
    touch "$venv/.ready"
fi

build_opts=(-C "build-dir=build/py-$variant/{wheel_tag}" -C cmake.build-type=RelWithDebInfo)
if [ "$variant" = tsan ]; then
    export CC=clang CXX=clang++
    build_opts+=(-C cmake.define.QUORVEL_SANITIZE=thread)
fi
(cd "$root" && "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    --no-deps "${build_opts[@]}" .)
"$venv/bin/python" -c "import _quorvel" || die "the module does not import under the $variant interpreter"
echo "$venv"
