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
