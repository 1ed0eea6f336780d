# Set-up shared by scripts/setup, scripts/run-local, scripts/test and scripts/package, sourced
# by them (not run): the Debian 12 packages the project needs and how they are installed, and
# the development build they all work on.
#
# The sourcing script sets SCRIPT (its name, for messages) first. Environment: BUILD_DIR
# (default build/), BUILD_TYPE (default RelWithDebInfo), JOBS (parallel build jobs, default 2),
# SETUP_SKIP_PACKAGES=1 to leave the system's packages alone.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo}
JOBS=${JOBS:-2}

PACKAGES=(
    # toolchain
    build-essential cmake ninja-build pkg-config clang-format clang libclang-rt-14-dev
    # Qt 6 (libraries, tools, the QML modules the UI imports at run time)
    qt6-base-dev qt6-base-dev-tools qt6-declarative-dev qt6-declarative-dev-tools
    qt6-websockets-dev qt6-httpserver-dev libqt6sql6-sqlite
    qml6-module-qtqml qml6-module-qtqml-models qml6-module-qtqml-workerscript
    qml6-module-qtquick qml6-module-qtquick-window qml6-module-qtquick-controls
    qml6-module-qtquick-templates qml6-module-qtquick-layouts qml6-module-qtquick-dialogs
    qml6-module-qt-labs-folderlistmodel qml6-module-qt-labs-qmlmodels qml6-module-qtcore
    qml6-module-qttest qml6-module-qtwebsockets qml6-module-qt5compat-graphicaleffects
    fonts-dejavu-core fonts-noto-color-emoji
    # audio capture, MP3 encoding, the Icecast source connection
    librtaudio-dev libjack-jackd2-dev libmp3lame-dev libshout-dev libpulse-dev
    # voice processing: noise suppression, resampling, loudness; speech for its test
    libwebrtc-audio-processing-dev libspeexdsp-dev libebur128-dev espeak-ng
    # the local stack and the test fixtures: icecast2, a virtual microphone, decoders
    icecast2 pulseaudio pulseaudio-utils sox libsox-fmt-mp3 libsox-fmt-pulse mpg123 ffmpeg
    darkice curl python3 nftables iproute2
    # the HTTPS + HTTP/2 front of the transport test (tests/core/tst_httpsfront)
    nginx-light openssl
    # the program under a virtual display (UI tests, screenshots)
    xvfb xauth imagemagick xdotool desktop-file-utils
    # a screen reader's view of it (the accessibility bus, AT-SPI from Python: tst_e2e_keyboard)
    dbus-daemon at-spi2-core python3-pyatspi
    # the Debian package (scripts/package) and its checks
    debhelper dpkg-dev fakeroot lintian appstream
)

say() { printf '\n== %s\n' "$*"; }
die() { echo "${SCRIPT:-castora}: $*" >&2; exit 1; }

# missing_packages PACKAGE...: those of the given packages that are not installed.
missing_packages() {
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            echo "$pkg"
    done
}

# install_packages [PACKAGE...]: installs those of the packages (default: PACKAGES) that are
# missing, with apt-get (through sudo when not root). Does nothing when all are there, or with
# SETUP_SKIP_PACKAGES=1.
install_packages() {
    local wanted=("$@")
    [ ${#wanted[@]} -gt 0 ] || wanted=("${PACKAGES[@]}")
    if [ "${SETUP_SKIP_PACKAGES:-0}" = 1 ]; then
        say "packages: skipped (SETUP_SKIP_PACKAGES=1)"
        return
    fi
    command -v dpkg-query >/dev/null && command -v apt-get >/dev/null ||
        die "packages are installed with apt-get (Debian 12); install those listed in scripts/lib.sh by hand, then run again with SETUP_SKIP_PACKAGES=1"
    local missing
    missing=$(missing_packages "${wanted[@]}" | xargs)
    if [ -z "$missing" ]; then
        say "packages: all ${#wanted[@]} installed"
        return
    fi
    local sudo=()
    if [ "$(id -u)" != 0 ]; then
        command -v sudo >/dev/null || die "not root and no sudo: install as root: apt-get install $missing"
        sudo=(sudo)
    fi
    say "packages: installing $missing"
    # icecast2's post-install script prints "update-rc.d: error: no runlevel symlinks" on
    # machines without init scripts; it is harmless (no system icecast is started).
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
    # shellcheck disable=SC2086 # one word per package
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -o DPkg::Lock::Timeout=600 $missing
    missing=$(missing_packages "${wanted[@]}" | xargs)
    [ -z "$missing" ] || die "still missing after apt-get install: $missing"
}

# configure_development DIR [CMAKE_ARGS...]: makes DIR a configured development build
# (CASTORA_DEVELOPMENT=ON: the tests, the local stack and the benchmarks need its address
# overrides, inspection socket and start-up probe). A new folder is configured with the build
# type and the arguments; an existing one keeps its generator, build type and options, and is
# only turned into a development build when it was configured before that option existed. A
# folder configured with CASTORA_DEVELOPMENT=OFF (a build for users) is refused.
configure_development() {
    local dir=$1
    shift
    local cache=$dir/CMakeCache.txt
    if [ ! -f "$cache" ]; then
        say "configure: $dir ($BUILD_TYPE, development build)"
        cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$BUILD_TYPE" \
            -DCASTORA_DEVELOPMENT=ON "$@"
    elif grep -Eq '^CASTORA_DEVELOPMENT:[A-Z]+=(OFF|0|FALSE|NO)$' "$cache"; then
        die "$dir is configured as a build for users (CASTORA_DEVELOPMENT=OFF); use another BUILD_DIR for development"
    elif ! grep -Eq '^CASTORA_DEVELOPMENT:[A-Z]+=ON$' "$cache"; then
        say "configure: $dir becomes a development build (CASTORA_DEVELOPMENT=ON)"
        cmake -S "$ROOT" -B "$dir" -DCASTORA_DEVELOPMENT=ON "$@"
    fi
}
