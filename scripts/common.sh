# Shared helpers for the set-up scripts. Sourced, never run.
# Everything downloaded or built lives in $QUORVEL_CACHE (outside the repo).

QUORVEL_CACHE=${QUORVEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvel}
mkdir -p "$QUORVEL_CACHE"

log() { printf '[quorvel] %s\n' "$*" >&2; }
die() { printf '[quorvel] error: %s\n' "$*" >&2; exit 1; }

# Run a command as root: directly when we are root, through sudo otherwise.
as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"
    elif command -v sudo >/dev/null 2>&1; then sudo "$@"
    else die "need root to run: $*"
    fi
}

# Install Debian packages from the machine's own apt sources, only those missing.
apt_install() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    as_root apt-get install -y --no-install-recommends "${missing[@]}" >&2 \
        || { as_root apt-get update -q >&2 && as_root apt-get install -y --no-install-recommends "${missing[@]}" >&2; }
}

# The Debian archive URIs that the machine's apt sources already use for its
# own release (one-line and deb822 formats). Security and third-party archives
# are left out: they do not carry the other suites we look up.
debian_archive_uris() {
    local codename
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    {
        cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
            | awk -v c="$codename" '$1 ~ /^deb(-src)?$/ {
                  i = 2; if ($2 ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                  if ($(i+1) == c) print $i }'
        for f in /etc/apt/sources.list.d/*.sources; do
            [ -f "$f" ] || continue
            awk -v c="$codename" '
                function flush() { if (has && uris != "") print uris; uris = ""; has = 0 }
                /^[ \t]*$/ { flush(); next }
                /^URIs:/ { uris = ""; for (i = 2; i <= NF; i++) uris = uris (i > 2 ? "\n" : "") $i }
                /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == c) has = 1 }
                END { flush() }' "$f"
        done
    } | sed 's:/*$::' | awk 'NF && !seen[$0]++'
}

# A private apt configuration for looking up trixie and sid: its own sources
# file, state and cache folders. The machine's own sources are never touched,
# so a later apt-get install cannot pull packages from those suites.
APT_DIR="$QUORVEL_CACHE/apt"
APT_OPTS=(
    -o "Dir::Etc::sourcelist=$APT_DIR/sources.list"
    -o "Dir::Etc::sourceparts=$APT_DIR/sources.list.d"
    -o "Dir::State::Lists=$APT_DIR/lists"
    -o "Dir::Cache=$APT_DIR/cache"
    -o "Dir::State::status=$APT_DIR/status"
    -o "APT::Sandbox::User=root"
)

apt_private_setup() {
    mkdir -p "$APT_DIR/sources.list.d" "$APT_DIR/lists/partial" "$APT_DIR/cache/archives/partial"
    : > "$APT_DIR/status.new"
    [ -f "$APT_DIR/status" ] || mv "$APT_DIR/status.new" "$APT_DIR/status"
    local uris
    uris=$(debian_archive_uris)
    [ -n "$uris" ] || die "no Debian archive URI found in the machine's apt sources"
    local list="" u
    for u in $uris; do
        list+="deb-src $u trixie main"$'\n'
        list+="deb-src $u sid main"$'\n'
        list+="deb $u sid main"$'\n'
    done
    if [ "$list" != "$(cat "$APT_DIR/sources.list" 2>/dev/null)"$'\n' ] \
        || [ -z "$(find "$APT_DIR/lists" -maxdepth 1 -name '*Sources*' -mmin -1440 2>/dev/null)" ]; then
        printf '%s' "$list" > "$APT_DIR/sources.list"
        log "refreshing the private apt lists (trixie and sid)"
        apt-get "${APT_OPTS[@]}" update -q >/dev/null || die "apt-get update (private lists) failed"
    fi
}

# Prints the path of the pristine upstream tarball of Debian's python3.13
# source package, downloading it into $QUORVEL_CACHE/src on first use.
cpython_tarball() {
    local srcdir="$QUORVEL_CACHE/src" tarball versions v
    mkdir -p "$srcdir"
    tarball=$(ls "$srcdir"/python3.13_*.orig.tar.xz 2>/dev/null | sort -V | tail -n1 || true)
    if [ -z "$tarball" ]; then
        apt_private_setup
        versions=$(apt-cache "${APT_OPTS[@]}" showsrc python3.13 | awk '/^Version:/ {print $2}' | sort -uVr)
        [ -n "$versions" ] || die "apt-cache showsrc python3.13 lists no versions"
        for v in $versions; do
            log "trying python3.13=$v"
            rm -f "$srcdir"/python3.13_*
            if (cd "$srcdir" && apt-get "${APT_OPTS[@]}" source --download-only "python3.13=$v" >/dev/null 2>&1); then
                tarball=$(ls "$srcdir"/python3.13_*.orig.tar.xz | head -n1)
                break
            fi
        done
        [ -n "$tarball" ] || die "no version of the python3.13 source package could be downloaded"
    fi
    echo "$tarball"
}

# build_cpython SUFFIX CONFIGURE-ARGS...: builds CPython from that tarball
# into $QUORVEL_CACHE/cpython-<version><SUFFIX> and prints the prefix. The
# prefix gets a .complete marker only once installed, so an interrupted build
# is redone. Extra environment: CPYTHON_JOBS (make -j, default nproc),
# CPYTHON_NICE (nice level, default 0), CPYTHON_PYC=top (byte-compile only
# the top level of the standard library at install; the rest is compiled on
# first import. The checking builds use it: their interpreters run the
# install-time compile several times slower). The caller holds the build lock.
build_cpython() {
    local suffix=$1; shift
    local tarball upstream prefix build
    tarball=$(cpython_tarball)
    upstream=$(basename "$tarball" | sed -E 's/^python3\.13_(.*)\.orig\.tar\.xz$/\1/')
    prefix="$QUORVEL_CACHE/cpython-${upstream}${suffix}"
    build="$QUORVEL_CACHE/build/cpython-${upstream}${suffix}"
    log "building CPython $upstream ($*) into $prefix"
    local started=$SECONDS
    rm -rf "$build" "$prefix"
    mkdir -p "$build"
    tar -xJf "$tarball" -C "$build" --strip-components=1
    (
        cd "$build"
        nice -n "${CPYTHON_NICE:-0}" ./configure "$@" --prefix="$prefix" --with-ensurepip=install \
            >"$build/configure.log" 2>&1 || { tail -n 40 "$build/configure.log" >&2; exit 1; }
        nice -n "${CPYTHON_NICE:-0}" make -j"${CPYTHON_JOBS:-$(nproc)}" >"$build/make.log" 2>&1 \
            || { tail -n 60 "$build/make.log" >&2; exit 1; }
        local install_args=()
        [ "${CPYTHON_PYC:-all}" = top ] && install_args+=("COMPILEALL_OPTS=-j0 -l")
        make install "${install_args[@]}" >"$build/install.log" 2>&1 \
            || { tail -n 60 "$build/install.log" >&2; exit 1; }
    ) || die "building CPython failed (logs in $build)"
    # The sanitizer runs read the interpreter's own suppression files.
    if [ -d "$build/Tools/tsan" ]; then
        mkdir -p "$prefix/share/tsan"
        cp "$build"/Tools/tsan/*.txt "$prefix/share/tsan/"
    fi
    touch "$prefix/.complete"
    rm -rf "$build"
    log "built CPython $upstream$suffix in $(( (SECONDS - started) / 60 )) min $(( (SECONDS - started) % 60 )) s"
    echo "$prefix"
}
