#!/bin/bash
# Checks the installed systemd units: every *.service and *.timer that the
# install puts in place passes systemd-analyze verify, every service stays
# within its own exposure limit (systemd-analyze security --offline=true on the
# installed file); the boot units keep their place in the boot and their
# commands, the metrics service its command, its rights and node_exporter's
# directory, its timer the periods.
#
#   unit_files_test.sh BUILD_DIR
set -euo pipefail

build=$1
readonly skip=77
# Highest exposure each unit may have; an installed unit missing here fails.
declare -A max_exposure=(
  [p2ptool.service]=1.8
  [p2ptool-guest.service]=2.5
  [p2pwatch.service]=2.0
  [p2ptool-metrics.service]=1.8
)
# Installed units without an exposure rating.
readonly timers=(p2ptool-metrics.timer)

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

mapfile -t units < <(cd "$root" && find . \( -name '*.service' -o -name '*.timer' \) -printf '/%P\n' |
  sort)
if [ ${#units[@]} -eq 0 ]; then
  echo "unit_files_test: the install put no *.service in place" >&2
  exit 1
fi
# The machine's targets, which units with default dependencies are ordered
# after (sysinit.target, basic.target, ...), beside the installed units.
unit_dir=$(dirname "$root${units[0]}")
cp -an /usr/lib/systemd/system/*.target "$unit_dir/" 2>/dev/null || true

failed=0
fail() {
  echo "unit_files_test: $*" >&2
  failed=1
}

# Every word of every "Key=" line of a unit, one a line.
words() { sed -n "s/^$2=//p" "$unit_dir/$1" | tr ' ' '\n' | sed '/^$/d'; }
# The values of every "Key=" line, whole, one a line.
values() { sed -n "s/^$2=//p" "$unit_dir/$1"; }

# has <unit> <key> <word...>: each word among the key's words.
has() {
  local unit=$1 key=$2 word
  shift 2
  for word in "$@"; do
    words "$unit" "$key" | grep -xF -- "$word" >/dev/null || fail "$unit: no $word in $key="
  done
}
# lacks <unit> <key> <word...>: none of the words among the key's words.
lacks() {
  local unit=$1 key=$2 word
  shift 2
  for word in "$@"; do
    ! words "$unit" "$key" | grep -xF -- "$word" >/dev/null || fail "$unit: $word in $key="
  done
}
# exactly <unit> <key> <expected lines>: the key's values, in order.
exactly() {
  local actual
  actual=$(values "$1" "$2")
  [ "$actual" = "$3" ] || fail "$1: $2= is \"$actual\", not \"$3\""
}

exposure() {
  systemd-analyze security --offline=true "$unit_dir/$1" 2>&1 |
    sed -n "s/.*Overall exposure level for $1: \([0-9.]*\).*/\1/p"
}

for unit in "${units[@]}"; do
  name=${unit##*/}
  # The units name their man pages: look them up in the scratch install.
  if ! out=$(MANPATH="$root/usr/share/man" systemd-analyze verify --root="$root" "$unit" 2>&1) ||
    [ -n "$out" ]; then
    fail "systemd-analyze verify $unit:"
    echo "$out" >&2
  else
    echo "verified: $unit"
  fi
  [ "${name%.timer}" = "$name" ] || continue
  limit=${max_exposure[$name]:-}
  rating=$(exposure "$name")
  if [ -z "$limit" ]; then
    fail "$name has no exposure limit in this test"
  elif [ -z "$rating" ]; then
    fail "no exposure rating for $name"
  elif awk -v r="$rating" -v m="$limit" 'BEGIN { exit !(r > m) }'; then
    fail "$name exposure $rating, above $limit"
  else
    echo "$name exposure: $rating (at most $limit)"
  fi
done
for name in "${!max_exposure[@]}" "${timers[@]}"; do
  [ -e "$unit_dir/$name" ] || fail "$name not installed"
done
[ "$failed" -eq 0 ] || exit 1

# The guest's units run before the GPU driver can load: before udev's coldplug
# and modules-load.d, after the root file system is writable, and not after
# local-fs.target (its mounts wait for coldplug): p2ptool -r first, then p2pwatch.
early_after_forbidden=(local-fs.target sysinit.target basic.target systemd-udev-trigger.service
  systemd-modules-load.service systemd-udev-settle.service)
for unit in p2ptool-guest.service p2pwatch.service; do
  exactly "$unit" DefaultDependencies no
  has "$unit" After systemd-remount-fs.service
  has "$unit" Before systemd-udev-trigger.service systemd-modules-load.service sysinit.target
  lacks "$unit" After "${early_after_forbidden[@]}"
  lacks "$unit" Wants "${early_after_forbidden[@]}"
  exactly "$unit" WantedBy sysinit.target
done
has p2ptool-guest.service Before p2pwatch.service
lacks p2pwatch.service Before p2ptool-guest.service
# A failed p2ptool -r fails its unit, and p2pwatch still starts.
lacks p2pwatch.service Requires p2ptool-guest.service
lacks p2pwatch.service Requisite p2ptool-guest.service
lacks p2pwatch.service BindsTo p2ptool-guest.service
exactly p2ptool-guest.service ExecStart "/usr/sbin/p2ptool -r -v --guest"
exactly p2ptool-guest.service ConfigurationDirectory qz/vm_p2p_cfg
exactly p2pwatch.service ExecStart /usr/sbin/p2pwatch

# p2pwatch's record survives its restarts and is readable by every user.
exactly p2pwatch.service RuntimeDirectory p2pwatch
exactly p2pwatch.service RuntimeDirectoryMode 0755
exactly p2pwatch.service RuntimeDirectoryPreserve restart

# The host unit: after coldplug, before the virtual machine managers; its two
# runs, whose failures ("-") neither stop the next run nor fail the unit, each
# saying its changes (-v) in the journal, then the report, whose failure fails
# the unit.
has p2ptool.service After systemd-udev-trigger.service
has p2ptool.service Before libvirtd.service virtqemud.service
exactly p2ptool.service ExecStart "-/usr/sbin/p2ptool -v
-/usr/sbin/p2ptool -w -v
/usr/sbin/p2ptool -s --host"
exactly p2ptool.service WantedBy multi-user.target
# What the in-use check needs to read every process's descriptors, and no more
# (p2ptool_discovery_test runs p2ptool with this set).
exactly p2ptool.service CapabilityBoundingSet "CAP_SYS_ADMIN CAP_DAC_READ_SEARCH CAP_SYS_PTRACE"

# The metrics, on host and guest: p2ptool -s into node_exporter's textfile
# directory, which the unit makes; not ready (1) and unknown (3) are runs that
# wrote the file. The read rights of p2ptool.service, no write but to that
# directory, the real /dev/vfio and other users' /proc/PID/fd (in-use check).
readonly metrics_dir=/var/lib/prometheus/node-exporter
exactly p2ptool-metrics.service ExecStart "/usr/sbin/p2ptool -s --metrics $metrics_dir/p2ptool.prom"
exactly p2ptool-metrics.service SuccessExitStatus "1 3"
exactly p2ptool-metrics.service TimeoutStartSec 2min  # within the timer's period
exactly p2ptool-metrics.service StateDirectory "${metrics_dir#/var/lib/}"
exactly p2ptool-metrics.service StateDirectoryMode 0755
exactly p2ptool-metrics.service CapabilityBoundingSet "CAP_SYS_ADMIN CAP_SYS_PTRACE CAP_DAC_READ_SEARCH"
mapfile -t host_capabilities < <(words p2ptool.service CapabilityBoundingSet)
has p2ptool-metrics.service CapabilityBoundingSet "${host_capabilities[@]}"
exactly p2ptool-metrics.service ProtectSystem strict
exactly p2ptool-metrics.service ProtectKernelTunables yes
exactly p2ptool-metrics.service ReadWritePaths ""
lacks p2ptool-metrics.service PrivateDevices yes
lacks p2ptool-metrics.service ProtectProc invisible noaccess ptraceable
# The role needs /proc/cpuinfo's hypervisor flag where the GPUs do not tell.
lacks p2ptool-metrics.service ProcSubset pid
exactly p2ptool-metrics.service WantedBy ""  # started by its timer alone
exactly p2ptool-metrics.timer OnBootSec 2min
exactly p2ptool-metrics.timer OnUnitActiveSec 5min
exactly p2ptool-metrics.timer WantedBy timers.target
# node_exporter's textfile collector reads that directory unless told otherwise.
if command -v prometheus-node-exporter >/dev/null; then
  textfile_dir=$(prometheus-node-exporter --help 2>&1 |
    sed -n 's/.*--collector\.textfile\.directory="\([^"]*\)".*/\1/p')
  [ "$textfile_dir" = "$metrics_dir" ] ||
    fail "node_exporter reads \"$textfile_dir\" by default, not $metrics_dir"
elif [ "${CI:-}" = true ]; then
  fail "prometheus-node-exporter missing (scripts/deps installs it)"
else
  echo "unit_files_test: prometheus-node-exporter missing: its directory not compared" >&2
fi

[ "$failed" -eq 0 ] && echo "unit_files_test: boot order, commands and rights as expected"
exit $failed
