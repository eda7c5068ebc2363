#!/usr/bin/env bash
# install-packages.sh NAME PACKAGE...: installs those of the Debian packages that are missing;
# NAME is the caller's, for its messages. Run as root. Idempotent: prints nothing and touches
# nothing when all is present.
set -euo pipefail
name=$1
shift

missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "$name: missing packages: ${missing[*]}; run this script as root" >&2
  exit 1
fi
echo "$name: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
