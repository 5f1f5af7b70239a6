# Shared by the build, run and test scripts: install what is missing, then configure and build.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

install_packages() {
  local missing=()
  while read -r pkg; do
    [ -z "$pkg" ] && continue
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done < "$ROOT/scripts/packages.txt"
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

# build DIR [cmake options...] [-- TARGET...]: configures DIR and builds every target, or only
# the targets named after "--".
build() {
  local dir="$1"; shift
  local options=() targets=()
  while [ "$#" -gt 0 ] && [ "$1" != "--" ]; do options+=("$1"); shift; done
  [ "$#" -gt 0 ] && shift
  targets=("$@")
  cmake -S "$ROOT" -B "$ROOT/$dir" -G Ninja "${options[@]}" >/dev/null
  if [ "${#targets[@]}" -gt 0 ]; then
    cmake --build "$ROOT/$dir" --target "${targets[@]}"
  else
    cmake --build "$ROOT/$dir"
  fi
}
