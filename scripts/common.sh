# Shared by scripts/run and scripts/test: install what the build and the tests need, then build.
# Sourced, not run.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"

# Debian packages. What building and running the program needs: the tool chain, Qt with its
# Wayland platform plugin and SVG icon support, libudev, what renders the icons, a CJK font so
# that the window is readable and Qt's Chinese texts.
RUN_PACKAGES=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev qt6-wayland libqt6svg6
    libudev-dev librsvg2-bin
    fonts-noto-cjk qt6-translations-l10n
)
# What only the tests, the sanitizer and fuzz builds and the Debian package need: umockdev, a
# private D-Bus with a mocked udisks2, loop-mounted ext4 images, xz-packed sysfs snapshots, an
# X server, a Wayland compositor and the accessibility bus with its Python reader for the desktop
# checks, the package tools and checkers, and clang with libFuzzer and the symbolizer.
TEST_PACKAGES=(
    libumockdev-dev umockdev libglib2.0-dev
    dbus python3-dbusmock e2fsprogs mount util-linux xz-utils
    xvfb xauth weston xdotool at-spi2-core python3-pyatspi
    dpkg-dev desktop-file-utils appstream lintian
    clang libclang-rt-14-dev llvm
)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# ensure_packages [run]: installs what is missing of the packages that building and running
# need (run), or of every package the scripts use (no argument).
ensure_packages() {
    local wanted=("${RUN_PACKAGES[@]}")
    if [ "${1:-all}" != run ]; then wanted+=("${TEST_PACKAGES[@]}"); fi
    local missing=()
    for package in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        as_root apt-get update -qq
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

# build [CMAKE ARGUMENTS...]: configures BUILD_DIR (extra arguments go to cmake) and builds it.
build() {
    local launcher=()
    # Rebuilds in several work trees share one compiler cache where the machine has one.
    if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
    cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" "${launcher[@]}" "$@" >/dev/null
    cmake --build "$BUILD_DIR" --parallel "$(nproc)"
}
