# Installs what the build and the tests need; sourced by the scripts in this folder.
TW_APT_PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev zlib1g-dev libssl-dev
  python3 python3-cryptography python3-bcrypt openssl libxml2-utils libgcrypt20 gzip sharutils coreutils
  curl
)

tw_install_packages() {
  local missing=()
  local p
  for p in "${TW_APT_PACKAGES[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

# Installs the npm peers of the blob tests (the storage emulator and the reference SDK) into
# tests/peers/node_modules from the committed lock file, when that tree is missing or was made
# from another lock file or another node. Debian's Node 18 is enough for the pinned versions.
tw_install_npm_peers() {
  local peers
  peers="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/tests/peers"
  if ! command -v node >/dev/null 2>&1; then
    echo "installing: nodejs npm"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends nodejs npm >/dev/null
  elif ! command -v npm >/dev/null 2>&1; then
    echo "installing: npm"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends npm >/dev/null
  fi
  local stamp
  stamp="$(cat "$peers/package.json" "$peers/package-lock.json" | sha256sum | cut -d' ' -f1) $(node --version)"
  if [ ! -d "$peers/node_modules" ] || [ "$(cat "$peers/node_modules/.tw-stamp" 2>/dev/null)" != "$stamp" ]; then
    echo "installing npm peers in tests/peers"
    (cd "$peers" && npm ci --no-audit --no-fund) || return 1
    echo "$stamp" > "$peers/node_modules/.tw-stamp"
  fi
}
