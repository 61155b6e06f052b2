# Shared by scripts/run and scripts/test: install what is missing, configure, build.

PACKAGES=(
    g++ cmake ninja-build pkg-config clang libclang-rt-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libcpp-httplib-dev libcurl4-openssl-dev
    nettle-dev zlib1g-dev nginx tinyproxy
    fonts-wine xvfb xauth xdg-utils
    fonts-dejavu-extra
    dante-server apache2 apache2-utils squid
    x11-utils desktop-file-utils dpkg-dev man-db
    clang-format
)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

ensure_packages() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        as_root apt-get update -qq
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
    fi
}

# configure_and_build BUILD_DIR [cmake options...]
# Callers pass every option that differs between them: a folder's CMake cache
# keeps what the last configure stored, whichever script ran it.
configure_and_build() {
    local dir="$1"; shift
    cmake -S "$ROOT" -B "$ROOT/$dir" -G Ninja "$@" >/dev/null
    cmake --build "$ROOT/$dir" -j "$(nproc)"
}
