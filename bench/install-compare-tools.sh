#!/usr/bin/env bash
# Installs the receivers that bench/compare_receivers.sh measures beside the driver: FFmpeg and
# GStreamer's command-line tools with the plugins for RTSP, H.264 and JPEG depayloading, and perf,
# which counts the receivers' system calls.
# Neither make test nor make demo needs them. Run as root. Idempotent: prints nothing and touches
# nothing when all is present.
set -euo pipefail

packages=(ffmpeg gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good linux-perf)

exec bash "$(dirname "$0")/../scripts/install-packages.sh" install-compare-tools "${packages[@]}"
