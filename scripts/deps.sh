#!/usr/bin/env bash
# Installs the Debian packages that the build and the test lanes need, when any is missing.
# Each file in scripts/packages/ lists one lane's packages, one per line ('#' starts a comment).
# With arguments, only the named lists (deps.sh build: what building the programs needs).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
lists=("$here"/packages/*.txt)
if [ $# -gt 0 ]; then
  lists=()
  for name in "$@"; do
    [ -f "$here/packages/$name.txt" ] || { echo "deps.sh: no package list $name" >&2; exit 2; }
    lists+=("$here/packages/$name.txt")
  done
fi
wanted=$(sed -e 's/#.*//' "${lists[@]}" | tr -s ' \t' '\n\n' | sed '/^$/d' | sort -u)
missing=()
for pkg in $wanted; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing missing packages: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
