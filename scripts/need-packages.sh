#!/usr/bin/env bash
# Installs the Debian packages named on the command line that are missing (as root).
# Exits non-zero when some are missing and cannot be installed.
set -euo pipefail
missing=()
for pkg in "$@"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "please install ${missing[*]} (sudo apt-get install ${missing[*]})" >&2
  exit 1
fi
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
