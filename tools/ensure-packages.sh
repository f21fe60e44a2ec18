# Installs the Debian packages named as arguments when any is missing.
ensure_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}
BUILD_PACKAGES=(g++ cmake ninja-build python3 pkg-config libssl-dev libpng-dev libjpeg62-turbo-dev libgif-dev libtiff-dev
                libcairo2-dev libsdl2-dev libx11-dev libcurl4-openssl-dev libedit-dev
                libpango1.0-dev fonts-liberation2 fonts-dejavu-core)
# openssl makes the HTTPS tests' certificate; the window tests under Xvfb: the
# server, xwd, xdotool, ImageMagick, xclip, xrdb (x11-xserver-utils), xprop
# and xwininfo (x11-utils), and a window manager to minimise and restore
# (openbox); the
# terminal console's test: tmux; the text tests' references: pango-view
# (pango1.0-tools) and rsvg-convert (librsvg2-bin).
TEST_PACKAGES=(libgtest-dev python3-pil openssl xvfb x11-apps xdotool imagemagick xclip tmux
               x11-xserver-utils pango1.0-tools librsvg2-bin x11-utils openbox)
