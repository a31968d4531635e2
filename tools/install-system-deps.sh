#!/usr/bin/env bash
# Installs the Debian packages the builds need, only those that are missing:
#   tools/install-system-deps.sh          GoogleTest, for the C++ tests
#   tools/install-system-deps.sh clang    clang too, for the fuzz targets
set -euo pipefail
packages=()
[ -f /usr/include/gtest/gtest.h ] || packages+=(libgtest-dev)
if [ "${1:-}" = clang ] && ! command -v clang++ >/dev/null; then packages+=(clang); fi
[ ${#packages[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo
echo "installing ${packages[*]}"
$sudo apt-get update -qq
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${packages[@]}"
