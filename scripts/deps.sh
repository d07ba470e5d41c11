#!/usr/bin/env bash
# Installs what building, testing and packaging the service needs, from Debian's archive
# (dpkg-dev: dpkg-shlibdeps for the package's dependencies; lintian, dex,
# desktop-file-utils, systemd: the package's checks; graphviz: docs/architecture.svg).
# Does nothing when everything is there already.
set -euo pipefail
packages=(g++ ccache cmake ninja-build qt6-base-dev libcurl4-openssl-dev elfutils python3 openssl libssl-dev uuid-dev curl
  tar gzip faketime xvfb xauth xdotool imagemagick openbox wmctrl
  dpkg-dev file lintian dex desktop-file-utils systemd graphviz gcovr clang-14 libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi
