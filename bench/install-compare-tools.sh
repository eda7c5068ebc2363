#!/usr/bin/env bash
# Installs the receivers that bench/compare_receivers.sh measures beside the driver: FFmpeg and
# GStreamer's command-line tools with the plugins for RTSP, H.264 and JPEG depayloading, and perf,
# which counts the receivers' system calls.
# Neither make test nor make demo needs them. Run as root. Idempotent: prints nothing and touches
# nothing when all is present.
set -euo pipefail

packages=(ffmpeg gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good linux-perf)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-compare-tools: missing packages: ${missing[*]}; run this script as root" >&2
  exit 1
fi
echo "install-compare-tools: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
