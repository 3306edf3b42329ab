# Shared by scripts/demo and scripts/test: installs the Debian packages the project
# needs when they are missing, and builds the program.

OMBRIX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OMBRIX_JOBS=$(nproc 2>/dev/null || echo 2)

# Packages the build, the tests and the demo use.
OMBRIX_PACKAGES=(cmake g++ make qt6-base-dev libgl-dev libgtest-dev telnet tmux xvfb xauth
                 fonts-ipafont-gothic clang libclang-rt-14-dev procps)
# What building the Debian package needs (dpkg-shlibdeps and dpkg-buildflags; CPack finds
# the programs to scan with file), and what its tests use: lintian, man to render the
# manual page, systemd-analyze to check the user unit, ss to find a free port.
OMBRIX_PACKAGE_TOOLS=(dpkg-dev file)
OMBRIX_PACKAGE_TEST_TOOLS=(lintian man-db systemd iproute2)

# ombrix_install_missing [PACKAGE...]: installs those of the packages (by default
# OMBRIX_PACKAGES) that are missing.
ombrix_install_missing() {
    [ $# -gt 0 ] || set -- "${OMBRIX_PACKAGES[@]}"
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing missing packages: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq "${missing[@]}"
}

# ombrix_build DIR [cmake options...]: configure and build everything into DIR.
ombrix_build() {
    local dir=$1
    shift
    cmake -S "$OMBRIX_ROOT" -B "$dir" -DOMBRIX_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$OMBRIX_JOBS"
}

# ombrix_build_program DIR: configure DIR and build only the program.
ombrix_build_program() {
    cmake -S "$OMBRIX_ROOT" -B "$1" -DOMBRIX_WERROR=ON >/dev/null
    cmake --build "$1" -j "$OMBRIX_JOBS" --target ombrix
}
