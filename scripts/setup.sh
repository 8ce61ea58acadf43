#!/usr/bin/env bash
# Installs what building and testing the tool needs, where it is missing:
# scripts/setup.sh [build|all].
# Debian 12; run as root (or with sudo available). For Windows: the mingw-w64
# cross compiler, Wine to run the tests, librsvg2-bin and icoutils to make the
# program's icon from its SVG, nsis for the installer, xdotool and imagemagick
# to drive the window under Xvfb and read its colours, fonts-wine for the
# faces Windows draws it with. ansible-core, ansible-lint and openssh-server
# for the rollout role's test (sites reached over ssh on loopback). For
# releases: hardening-check (devscripts), osslsigncode to sign, diffoscope to
# name what differs between two builds, strip-nondeterminism for the zip,
# python3-jsonschema to check the SBOM, p7zip-full to look inside the
# installer.
set -euo pipefail

# "build": what building the Linux tool and meter-sim needs, for
# scripts/run.sh on a fresh machine; anything else: everything above.
build_packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev libgl-dev libmodbus-dev libsimpleini-dev libgtest-dev
  libcli11-dev nlohmann-json3-dev scdoc
)
packages=("${build_packages[@]}")
if [ "${1:-all}" != build ]; then
  packages+=(
    clang clang-format xvfb xauth tshark
    dpkg-dev file lintian desktop-file-utils appstream man-db
    g++-mingw-w64-x86-64-posix wine64 googletest
    librsvg2-bin icoutils nsis xdotool imagemagick fonts-wine
    ansible-core ansible-lint openssh-server iproute2
    devscripts osslsigncode diffoscope-minimal strip-nondeterminism python3-jsonschema p7zip-full
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
