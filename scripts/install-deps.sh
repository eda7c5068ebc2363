#!/usr/bin/env bash
# Installs every Debian package Tessavirn needs to build, test, fuzz and run its demo.
# Run as root. Idempotent: prints nothing and touches nothing when all is present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcurl4-openssl-dev libpugixml-dev libcli11-dev libmicrohttpd-dev
  libjpeg62-turbo-dev libavcodec-dev libswscale-dev libavutil-dev ffmpeg curl
  nlohmann-json3-dev
  # The browser test of tessavirn view.
  chromium chromium-driver python3-selenium
)

exec bash "$(dirname "$0")/install-packages.sh" install-deps "${packages[@]}"
