#!/usr/bin/env bash
# Creates .venv from a free-threaded interpreter (scripts/python.sh) and
# installs the project's tools into it, plus the Debian packages the native
# tests need. Safe to run again: it only does what is missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
. "$here/common.sh"

apt_install build-essential libgtest-dev

python=$("$here/python.sh")
venv="$root/.venv"
if [ -x "$venv/bin/python" ] && [ "$(readlink -f "$(cat "$venv/.interpreter" 2>/dev/null)")" != "$(readlink -f "$python")" ]; then
    log "the interpreter changed: recreating .venv"
    rm -rf "$venv"
fi
if [ ! -x "$venv/bin/python" ]; then
    log "creating .venv from $python"
    "$python" -m venv "$venv"
    echo "$python" > "$venv/.interpreter"
fi
# --only-binary: pick the newest releases that ship wheels for this
# interpreter rather than compiling packages from source.
"$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: \
    -r "$root/requirements-dev.txt"
"$venv/bin/python" -c "import pytest, pytest_timeout, mypy, numpy, scikit_build_core" \
    || die "the tools did not install into .venv"
