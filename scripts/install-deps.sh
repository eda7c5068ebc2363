#!/usr/bin/env bash
# Installs every Debian package Tessavirn needs to build, test, fuzz and run its demo (the browser
# test of the view page drives Debian's chromium through chromium-driver and python3-selenium).
# Run as root. Idempotent: prints nothing and touches nothing when all is present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcurl4-openssl-dev libpugixml-dev libcli11-dev libmicrohttpd-dev
  libjpeg62-turbo-dev ffmpeg curl
  chromium chromium-driver python3-selenium
)

exec bash "$(dirname "$0")/install-packages.sh" install-deps "${packages[@]}"
