#!/usr/bin/env bash
# Usage: scripts/setup.sh [ci]
#
# Installs what the project needs on Debian/Ubuntu, through apt-get (as
# root, or through sudo); packages already installed are left alone.
#
#   scripts/setup.sh        build, tests and demonstration
#   scripts/setup.sh ci     also cross compilers, qemu, musl, sanitizer
#                           runtimes, coverage and static-check tools, and
#                           pkg-config and make for the documents' commands
#
# Options:
#   ci           the CI packages too
#   -h, --help   show this text
set -euo pipefail
source "$(dirname "$0")/lib/usage.sh"
answer_help "$@"
reject_options "$@"
case "${1:-}" in
  "" | ci) ;;
  *) usage_error "unexpected argument $1 (only ci)" ;;
esac
(($# <= 1)) || usage_error "unexpected argument $2"

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev
          openjdk-17-jdk-headless junit5)
if [[ "${1:-}" == "ci" ]]; then
  packages+=(clang libclang-rt-14-dev clang-format clang-tidy cppcheck valgrind
             gcovr g++-aarch64-linux-gnu g++-arm-linux-gnueabihf
             libc6-dev-arm64-cross libc6-dev-armhf-cross qemu-user
             musl-dev lld pkgconf android-libnativehelper-dev make)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  sudo_cmd=()
  [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
echo "setup: ok (${#packages[@]} packages installed${missing[*]:+; newly: ${missing[*]}})"
