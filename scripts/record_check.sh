#!/usr/bin/env bash
# record_check.sh PATH [expected_min_frames]
# Decodes a recording with ffprobe and prints codec, picture size and the number of frames read.
# The codec follows the file name: .h264 H.264 Annex B, .m4v MPEG-4 visual elementary stream,
# .mjpeg JPEG pictures one after another. Fails when ffprobe fails or reports any error, when the
# file holds another codec, or when fewer frames than expected_min_frames (default 1) were decoded.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: record_check.sh PATH.h264|PATH.m4v|PATH.mjpeg [expected_min_frames]" >&2
  exit 2
fi
file=$1
min_frames=${2:-1}
if ! [[ $min_frames =~ ^[0-9]+$ ]]; then
  echo "record_check: expected_min_frames must be a number, not \"$min_frames\"" >&2
  exit 2
fi
case "$file" in
  *.h264) expected_codec=h264; format=(-f h264) ;;
  *.m4v) expected_codec=mpeg4; format=(-f m4v) ;;
  *.mjpeg) expected_codec=mjpeg; format=(-f mjpeg) ;;
  *) echo "record_check: $file: the name must end in .h264, .m4v or .mjpeg" >&2; exit 2 ;;
esac
if [ ! -f "$file" ]; then
  echo "record_check: no such file: $file" >&2
  exit 1
fi

errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
status=0
figures=$(ffprobe -v error "${format[@]}" -count_frames -select_streams v:0 \
  -show_entries stream=codec_name,width,height,nb_read_frames -of default=nw=1 "$file" 2>"$errors") || status=$?

echo "$figures"
if [ "$status" -ne 0 ] || [ -s "$errors" ]; then
  echo "record_check: ffprobe reported errors for $file (exit status $status):" >&2
  cat "$errors" >&2
  exit 1
fi

codec=$(sed -n 's/^codec_name=//p' <<<"$figures")
frames=$(sed -n 's/^nb_read_frames=//p' <<<"$figures")
if [ "$codec" != "$expected_codec" ]; then
  echo "record_check: $file is not $expected_codec (codec \"$codec\")" >&2
  exit 1
fi
if ! [[ $frames =~ ^[0-9]+$ ]] || [ "$frames" -lt "$min_frames" ]; then
  echo "record_check: $file has ${frames:-no} decodable frames, expected at least $min_frames" >&2
  exit 1
fi
echo "record_check: $file is fine: $frames frames"
