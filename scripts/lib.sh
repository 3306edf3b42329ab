# Shared by scripts/demo and scripts/test: installs the Debian packages the project
# needs when they are missing, and builds the program.

OMBRIX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OMBRIX_JOBS=$(nproc 2>/dev/null || echo 2)

# What the program needs to build and run: all that scripts/demo installs.
# (telnet is the viewer the demo tells the user to connect with; util-linux gives flock;
# nodejs brings the npm that installs the page's xterm.js; zlib, libbz2, liblzma, libzstd
# and liblz4 decode compressed recordings; libvterm places characters for the screen model;
# pkg-config finds it and the NATS client that leaders and relays speak.)
OMBRIX_PACKAGES=(cmake g++ make qt6-base-dev qt6-websockets-dev libgl-dev fonts-ipafont-gothic
                 telnet util-linux nodejs zlib1g-dev libbz2-dev liblzma-dev libzstd-dev
                 liblz4-dev libvterm-dev pkg-config libnats-dev)
# What only the tests need on top (GoogleTest, the real-client checks, the sanitizer and
# fuzzing toolchain, a display for the window tests, a browser, the compressors and
# recorders the format tests use, the real HTTPS proxy in front of the page (nginx, with a
# certificate openssl makes), the NATS server that leaders and relays meet in, and the
# programs tests/recordings/make records: an editor on the alternate screen and dialog's
# line drawing): scripts/test installs both lists.
OMBRIX_TEST_PACKAGES=(libgtest-dev tmux xvfb xauth clang libclang-rt-14-dev procps chromium
                      nginx-light openssl fonts-dejavu-core gzip bzip2 xz-utils zstd lz4 ttyrec asciinema vim dialog
                      nats-server)
# What bench/run needs on top: the peers it measures beside the program (ttyrec's
# ttyplay, ncat, Python), ss for a socket's send queue, perf for profiles.
OMBRIX_BENCH_PACKAGES=(ttyrec ncat python3 iproute2 linux-perf)
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

# The page's npm packages, exactly as the lockfile pins them. Debian's npm is installed
# only when there is no npm at all: it conflicts with the npm that comes with nodejs.
ombrix_web_packages() {
    local web="$OMBRIX_ROOT/web"
    if ! command -v npm >/dev/null; then
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq npm
    fi
    if [ ! -f "$web/node_modules/.package-lock.json" ] ||
       [ "$web/package-lock.json" -nt "$web/node_modules/.package-lock.json" ]; then
        (cd "$web" && npm ci --no-audit --no-fund --loglevel=error)
    fi
}

# ombrix_build DIR [cmake options...]: configure and build everything into DIR.
ombrix_build() {
    local dir=$1
    shift
    ombrix_web_packages
    cmake -S "$OMBRIX_ROOT" -B "$dir" -DOMBRIX_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$OMBRIX_JOBS"
}

# ombrix_build_program DIR: configure DIR and build only the program, as a user's build:
# no tests (so no GoogleTest), and a warning is no reason to stop.
ombrix_build_program() {
    ombrix_web_packages
    cmake -S "$OMBRIX_ROOT" -B "$1" -DOMBRIX_WERROR=OFF -DOMBRIX_TESTS=OFF >/dev/null
    cmake --build "$1" -j "$OMBRIX_JOBS" --target ombrix
}

# ombrix_runtime_lock: the file a running copy holds locked (see platform/SharedMemory.h).
ombrix_runtime_lock() {
    local folder
    if [ -n "${XDG_RUNTIME_DIR:-}" ] && [ "${XDG_RUNTIME_DIR:0:1}" = / ]; then
        folder="$XDG_RUNTIME_DIR/ombrix"
    else
        folder="/tmp/ombrix-$(id -u)"
    fi
    echo "$folder/OmbrixFileMapping.lock"
}

# ombrix_copy_runs: true while another copy of the program holds the single instance.
ombrix_copy_runs() {
    local lock
    lock=$(ombrix_runtime_lock)
    [ -e "$lock" ] && ! flock -n "$lock" true 2>/dev/null
}
