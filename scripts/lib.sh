# shellcheck shell=bash
# Pieces the scripts share. Source it: . "$root/scripts/lib.sh"

# Runs a command as root: directly when we are root, else through sudo.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# apt-get as root, unattended, waiting up to 10 minutes for another apt or dpkg to finish.
apt_get() {
    as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@" </dev/null
}

# Installs the Debian packages named that are not installed yet.
#   apt_install [--no-install-recommends] PACKAGE...
apt_install() {
    local opts=() missing=() p
    if [ "${1:-}" = --no-install-recommends ]; then opts+=("$1"); shift; fi
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    echo "installing ${missing[*]}"
    apt_get update -qq || true  # a failed secondary index must not stop the install
    apt_get install -y -qq "${opts[@]}" "${missing[@]}"
}
