# Installs what the build and the tests need; sourced by the scripts in this folder.
TW_APT_PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev zlib1g-dev libssl-dev
  python3 python3-cryptography openssl libxml2-utils libgcrypt20 gzip sharutils coreutils
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
