# Sourced by the scripts: installs the Debian packages the build and the
# tests need (as root, only those missing) and defines the build helpers.

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$REPO"

PACKAGES=(cmake make g++ libgtest-dev clang-14 libclang-rt-14-dev python3 g++-mingw-w64-i686 g++-mingw-w64-x86-64
          wine wine64 wine32:i386 xvfb x11-utils imagemagick)

install_missing() {
    local missing=() package
    for package in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $sudo dpkg --add-architecture i386
    fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

# The build that runs under Wine here: win32, or win64 where this machine
# cannot execute 32-bit code (tools/winesession.py decides, for all).
wine_arch() {
    python3 "$REPO/tools/winesession.py"
}

build_preset() {
    cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j "$(nproc)"
}

install_missing
