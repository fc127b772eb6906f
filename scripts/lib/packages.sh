# Sourced by the scripts: install_missing PACKAGE... installs, with apt-get,
# those of the Debian packages named that are not installed yet, as root or
# through sudo. apt-get update runs first, and only when something is missing.
install_missing() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || {
            echo "$0: these packages are missing, and installing them needs root: ${missing[*]}" >&2
            return 1
        }
        sudo=(sudo)
    fi
    echo "$0: installing ${missing[*]}" >&2
    "${sudo[@]}" apt-get update
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y --no-install-recommends "${missing[@]}"
}
