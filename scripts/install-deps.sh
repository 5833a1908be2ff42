#!/usr/bin/env bash
# Installs the Debian packages that building and testing Stowlet need, only those missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libre2-dev libplist-dev libplist++-dev libcli11-dev libgmime-3.0-dev
  clang libclang-rt-dev clang-format
  time
  gobjc++ libgnustep-base-dev libgnustep-gui-dev gnustep-back0.29 xvfb
  libmilter-dev postfix miltertest swaks
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}" >&2
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    sudo_cmd=(sudo)
  else
    echo "error: missing packages (${missing[*]}) and not root; install them or run as root" >&2
    exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
# Postfix is for the tests, which start their own with a private configuration: the
# package itself is left unconfigured.
if printf '%s\n' "${missing[@]}" | grep -qx postfix && command -v debconf-set-selections >/dev/null; then
  echo "postfix postfix/main_mailer_type select No configuration" |
    "${sudo_cmd[@]}" debconf-set-selections
fi
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
