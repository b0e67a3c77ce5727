# Installs what the build and the tests need; sourced by the scripts in this folder.
TW_APT_PACKAGES=(
  cmake ninja-build g++ clang libgtest-dev zlib1g-dev
  python3 openssl libssl-dev libxml2-utils
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
