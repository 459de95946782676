#!/usr/bin/env bash
# Installs what the fuzz build needs on a Debian 12 machine: clang with
# libFuzzer and the sanitizer runtimes, and cmake. Idempotent: installs only
# what is missing.
set -euo pipefail

need=()
for pkg in cmake make clang-14 libclang-rt-14-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "setup-fuzz: installing ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
