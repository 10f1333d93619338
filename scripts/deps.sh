# Sourced by the scripts: makes sure the Debian packages they need are installed. As root it
# installs what is missing; otherwise it prints the exact apt-get line and stops.
LINKWARDEN_PACKAGES="cmake g++ make googletest libgtest-dev faketime g++-powerpc-linux-gnu qemu-user clang libclang-rt-14-dev user-mode-linux busybox-static ppp fping kmod iproute2 systemd gnuplot-nox"

linkwarden_need_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing: ${missing[*]}"
        apt-get update -q >/dev/null
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >/dev/null
    else
        echo "Missing Debian packages. Run:"
        echo "  sudo apt-get install -y ${missing[*]}"
        exit 1
    fi
}
