#!/usr/bin/env bash
# scripts/record_check.sh on clips made here: a whole clip passes with its frame count, a clip
# short of the expected count, a truncated one, a damaged one and an empty one fail.
set -euo pipefail
check=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=320x240:rate=25 -t 1 -c:v libx264 -bf 0 -f h264 "$dir/x.h264"

fail() { echo "FAIL: $*" >&2; exit 1; }

out=$("$check" "$dir/x.h264" 25) || fail "a whole clip of 25 frames was refused: $out"
grep -qx "codec_name=h264" <<<"$out" || fail "no codec line: $out"
grep -qx "width=320" <<<"$out" || fail "no width line: $out"
grep -qx "height=240" <<<"$out" || fail "no height line: $out"
grep -qx "nb_read_frames=25" <<<"$out" || fail "no frame count line: $out"
"$check" "$dir/x.h264" >/dev/null || fail "the default minimum of one frame was not met"

"$check" "$dir/x.h264" 26 >/dev/null 2>&1 && fail "26 frames were expected of 25"
head -c 3000 "$dir/x.h264" >"$dir/cut.h264"
"$check" "$dir/cut.h264" >/dev/null 2>&1 && fail "a truncated clip passed"
{ head -c 1500 "$dir/x.h264"; head -c 500 /dev/zero | tr '\0' '\125'; tail -c +2000 "$dir/x.h264"; } >"$dir/bad.h264"
"$check" "$dir/bad.h264" >/dev/null 2>&1 && fail "a damaged clip passed"
: >"$dir/empty.h264"
"$check" "$dir/empty.h264" >/dev/null 2>&1 && fail "an empty file passed"
"$check" "$dir/missing.h264" >/dev/null 2>&1 && fail "a missing file passed"
status=0
"$check" "$dir/x.h264" many >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "a malformed frame count gave status $status, not 2"
echo "record_check.sh: all cases behave"
