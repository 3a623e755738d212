#!/bin/bash
# Checks the installed systemd units: every *.service that the install puts
# in place passes systemd-analyze verify, and p2pwatch.service is hardened to
# an exposure of at most 4.5 as systemd-analyze security rates it.
#
#   unit_files_test.sh BUILD_DIR
set -euo pipefail

build=$1
readonly max_exposure=4.5
readonly skip=77

if ! command -v systemd-analyze >/dev/null; then
  echo "unit_files_test: systemd-analyze missing (scripts/deps installs systemd)" >&2
  exit $skip
fi

scratch=$(mktemp -d /tmp/p2p-units.XXXXXX)
manifest="$build/install_manifest.txt"
saved=""
if [ -e "$manifest" ]; then
  saved="$scratch/install_manifest.txt"
  cp -p "$manifest" "$saved"
fi
cleanup() {
  if [ -n "$saved" ]; then cp -p "$saved" "$manifest"; else rm -f "$manifest"; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

root="$scratch/root"
DESTDIR="$root" cmake --install "$build" --prefix /usr >/dev/null

mapfile -t units < <(cd "$root" && find . -name '*.service' -printf '/%P\n' | sort)
# The machine's targets, which units with default dependencies are ordered
# after (sysinit.target, basic.target, ...), beside the installed units.
unit_dir=$(dirname "$root${units[0]:-/usr/lib/systemd/system/x}")
cp -an /usr/lib/systemd/system/*.target "$unit_dir/" 2>/dev/null || true
if [ ${#units[@]} -eq 0 ]; then
  echo "unit_files_test: the install put no *.service in place" >&2
  exit 1
fi

failed=0
for unit in "${units[@]}"; do
  # The units name their man pages: look them up in the scratch install.
  if ! out=$(MANPATH="$root/usr/share/man" systemd-analyze verify --root="$root" "$unit" 2>&1) ||
    [ -n "$out" ]; then
    echo "unit_files_test: systemd-analyze verify $unit:" >&2
    echo "$out" >&2
    failed=1
  else
    echo "verified: $unit"
  fi
done

watch_unit=$(printf '%s\n' "${units[@]}" | grep '/p2pwatch\.service$')
rating=$(systemd-analyze security --offline=true "$root$watch_unit" 2>&1 |
  sed -n 's/.*Overall exposure level for p2pwatch.service: \([0-9.]*\).*/\1/p')
if [ -z "$rating" ]; then
  echo "unit_files_test: no exposure rating for $watch_unit" >&2
  failed=1
elif awk -v r="$rating" -v m="$max_exposure" 'BEGIN { exit !(r > m) }'; then
  echo "unit_files_test: p2pwatch.service exposure $rating, above $max_exposure" >&2
  failed=1
else
  echo "p2pwatch.service exposure: $rating (at most $max_exposure)"
fi
exit $failed
