# Shared by scripts/run, scripts/test and scripts/bench: installs what is
# missing from Debian's packages and configures and builds one build folder.
# Sourced, not run.

set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

PACKAGES=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  zip unzip
  zlib1g-dev libdeflate-dev
  fonts-thai-tlwg fontconfig
  xvfb xauth
  clang libclang-rt-14-dev
  openssl
  python3
  help2man
)

ensure_packages() {
  local missing=()
  local p
  for p in "${PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}" >&2
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

# build_in DIR [cmake options...]: configures (once) and builds everything, or
# only the targets BUILD_TARGETS names (space-separated).
build_in() {
  local dir=$1
  shift
  cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  local targets=()
  [ -n "${BUILD_TARGETS:-}" ] && read -ra targets <<<"--target $BUILD_TARGETS"
  cmake --build "$dir" --parallel "$(nproc)" "${targets[@]}"
}
