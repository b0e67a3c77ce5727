# Installs what the build and the tests need; sourced by the scripts in this folder.
TW_APT_PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev zlib1g-dev libssl-dev libmbedtls-dev
  python3 python3-cryptography python3-bcrypt openssl ca-certificates libxml2-utils libxml2-dev libgcrypt20 gzip sharutils coreutils
  putty-tools openssh-client
  curl nginx tinyproxy dante-server microsocks squid apache2-utils
  nghttp2-server nghttp2-client nghttp2-proxy
  softhsm2 opensc
  libpcap0.8 tcpdump iproute2
  libcurl4 jq tcl valgrind
  krb5-kdc krb5-admin-server krb5-user apache2 libapache2-mod-auth-gssapi
  libgssapi-krb5-2 gss-ntlmssp
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
    # The test peers (web server, proxies) are started by the tests on loopback ports only;
    # keep their packages from starting system-wide services on public ports at install.
    local own_policy=0
    if [ ! -e /usr/sbin/policy-rc.d ]; then
      printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
      chmod 755 /usr/sbin/policy-rc.d
      own_policy=1
    fi
    local rc=0
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || rc=$?
    if [ "$own_policy" = 1 ]; then rm -f /usr/sbin/policy-rc.d; fi
    if [ "$rc" -ne 0 ]; then return "$rc"; fi
  fi
  tw_stop_peer_services
}

# Stops the system services of the test peers if a package or an earlier setup started them.
tw_stop_peer_services() {
  local s
  for s in nginx tinyproxy danted squid microsocks nghttpx krb5-kdc krb5-admin-server apache2; do
    if command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then
      systemctl disable --now "$s" >/dev/null 2>&1 || true
    elif [ -x "/etc/init.d/$s" ]; then
      service "$s" stop >/dev/null 2>&1 || true
      update-rc.d "$s" disable >/dev/null 2>&1 || true
    fi
  done
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
