#!/bin/bash
# Checks what the toolkit installs and its Debian packages:
#
#   package_test.sh <build-dir> <version> <p2psim>
#
# 1. cmake --install of the build into a scratch prefix, and staged under /usr.
#    The build's install_manifest.txt (of the user's own install) is restored.
# 2. scripts/package builds the packages p2ptool and p2pwatch into a scratch
#    directory (a full dpkg-buildpackage run); the checkout and its parent stay
#    as they were, and the two packages carry exactly the staged install's files.
# 3. The packages are installed, checked and purged by dpkg inside the
#    project's sandbox (p2psim run), never on this machine: writable overlays
#    over /usr, /etc and /var and an empty scratch directory bound over /run,
#    so that every write of dpkg and of the maintainer scripts lands in scratch
#    directories, whose contents show afterwards exactly what the purge left.
#    (A scratch root for dpkg --root would need a root file system of its own
#    for the maintainer scripts and the dependencies.) First round, as on a
#    root without systemd running (no /run/systemd/system): install, the units
#    disabled and verified, reinstall, enable the units as an administrator
#    would, leave generated files behind, purge: nothing left. Second round,
#    with /run/systemd/system present and systemctl and deb-systemd-invoke
#    replaced by stubs that log their arguments: which units the scripts start,
#    restart or stop on install, upgrade and removal.
# 4. Upgrades from p2ptoolkit, the earlier single package (a stand-in with its
#    file list and maintainer scripts), by dpkg -i of both in either order or
#    of p2ptool alone (a host), and by apt-get install of the two files: every
#    file of the new packages in place (dpkg -V), the units disabled, each
#    package naming its unit to enable again; and an install that fails
#    midway, which leaves p2ptoolkit intact.
# The packaged programs run only as an unprivileged user.
#
# Needs root for the sandbox, and neither package installed on this machine:
# otherwise it is skipped (status 77), and under CI=true it fails instead.
set -uo pipefail

BUILD=$(cd "$1" && pwd)
VERSION=$2
P2PSIM=$3
CHECKOUT=$(cd "$(dirname "$0")/.." && pwd)
ARCH=$(dpkg --print-architecture)
NOBODY=65534
readonly SKIP=77
SCRATCH=$(mktemp -d /tmp/p2p-package.XXXXXX)
MANIFEST=$BUILD/install_manifest.txt
[ -e "$MANIFEST" ] && cp -p "$MANIFEST" "$SCRATCH/manifest.saved"
restore_manifest() {
  if [ -e "$SCRATCH/manifest.saved" ]; then
    cp -p "$SCRATCH/manifest.saved" "$MANIFEST"
  else
    rm -f "$MANIFEST"
  fi
}
trap 'restore_manifest; rm -rf "$SCRATCH"' EXIT
chmod 755 "$SCRATCH"  # the unprivileged user runs the programs from here

failures=0
checks=0

check() {  # check <description> <command...>: the command must succeed
  local what=$1
  shift
  checks=$((checks + 1))
  if "$@"; then
    echo "ok   $what"
  else
    echo "FAIL $what"
    failures=$((failures + 1))
  fi
}

finish() {
  echo "$((checks - failures)) passed, $failures failed"
  [ "$failures" -eq 0 ]
  exit
}

skip_or_fail() {
  echo "$1"
  [ "${CI:-}" = true ] && exit 1
  exit $SKIP
}

same_text() {  # same_text <actual> <expected>
  [ "$1" = "$2" ] && return 0
  printf '  expected:\n%s\n  actual:\n%s\n' "$2" "$1"
  return 1
}

# Files and symbolic links below a directory, relative to it, sorted.
files_below() { (cd "$1" && find . \( -type f -o -type l \) -printf '%P\n' | LC_ALL=C sort); }

# logged <file> <command...>: the command's output goes to the file, whose
# end is shown when the command fails.
logged() {
  local log=$1
  shift
  "$@" >>"$log" 2>&1 || { tail -n 20 "$log"; return 1; }
}

has_line() { grep -qxF -- "$2" "$1" || { echo "  no line \"$2\" in $1"; return 1; }; }

# Runs a command as the unprivileged user, with a time limit; refuses to run it
# at all if the user could not be changed.
as_nobody() {
  local drop=()
  [ "$(id -u)" -eq 0 ] && drop=(setpriv --reuid=$NOBODY --regid=$NOBODY --clear-groups --)
  timeout 20 "${drop[@]}" sh -c '[ "$(id -u)" -ne 0 ] || exit 99; exec "$@"' sh "$@"
}

# --- cmake --install --------------------------------------------------------

PREFIX=$SCRATCH/prefix
UNITS_REL=lib/systemd/system
EXPECTED_INSTALL="$UNITS_REL/p2ptool-guest.service
$UNITS_REL/p2ptool-metrics.service
$UNITS_REL/p2ptool-metrics.timer
$UNITS_REL/p2ptool.service
$UNITS_REL/p2pwatch.service
sbin/p2ptool
sbin/p2pwatch
share/doc/p2ptool/changelog.gz
share/doc/p2ptool/copyright
share/doc/p2ptool/examples/p2ptool.rules.yml
share/doc/p2pwatch/changelog.gz
share/doc/p2pwatch/copyright
share/man/man8/p2ptool.8.gz
share/man/man8/p2pwatch.8.gz"
# Under /usr the units go where Debian 12 keeps them, as in the packages.
EXPECTED_USR=$(sed -e 's|^lib/|/lib/|' -e 's|^[^/]|/usr/&|' <<<"$EXPECTED_INSTALL" | LC_ALL=C sort)

if cmake --install "$BUILD" --prefix "$PREFIX" >"$SCRATCH/install.log" 2>&1; then
  check "install: exactly the programs, the units, the man pages, the documents and the example rules" \
    same_text "$(files_below "$PREFIX")" "$EXPECTED_INSTALL"
  check "install: the units run the installed programs" \
    has_line "$PREFIX/$UNITS_REL/p2ptool-guest.service" "ExecStart=$PREFIX/sbin/p2ptool -r -v --guest"
  check "install: p2pwatch's unit starts the installed p2pwatch" \
    has_line "$PREFIX/$UNITS_REL/p2pwatch.service" "ExecStart=$PREFIX/sbin/p2pwatch"
  check "install: the metrics unit runs the installed p2ptool" has_line \
    "$PREFIX/$UNITS_REL/p2ptool-metrics.service" \
    "ExecStart=$PREFIX/sbin/p2ptool -s --metrics /var/lib/prometheus/node-exporter/p2ptool.prom"
else
  check "cmake --install succeeds" false
  cat "$SCRATCH/install.log"
fi

# A staged install (DESTDIR): the manifest names the installed paths, the
# units' like every other, without the staging prefix.
STAGED=$SCRATCH/staged
if DESTDIR=$STAGED cmake --install "$BUILD" --prefix /usr >"$SCRATCH/staged.log" 2>&1; then
  check "staged install: manifest lines without the DESTDIR prefix" \
    same_text "$(LC_ALL=C sort "$MANIFEST")" "$EXPECTED_USR"
else
  check "staged install succeeds" false
  cat "$SCRATCH/staged.log"
fi

# --- building the packages ---------------------------------------------------

# What a build could leave in the checkout or beside it.
leftovers() {
  (cd "$CHECKOUT" && find debian -printf '%p\n' | LC_ALL=C sort)
  (cd "$CHECKOUT/.." && find . -maxdepth 1 -name 'p2p*' -printf '%p\n' | LC_ALL=C sort)
}
before=$(leftovers)
OUT=$SCRATCH/pkg
if ! JOBS=$(nproc) "$CHECKOUT/scripts/package" "$OUT" >"$SCRATCH/build.log" 2>&1; then
  tail -n 40 "$SCRATCH/build.log"
  check "scripts/package builds the packages" false
  finish
fi
check "building leaves the checkout's debian/ and its parent as they were" \
  same_text "$(leftovers)" "$before"
check "the packages and their build records land in the output directory" \
  same_text "$(cd "$OUT" && ls -- *.deb *.changes | grep -v -- '-dbgsym_')" \
  "p2ptool_${VERSION}_$ARCH.deb
p2ptoolkit_${VERSION}_$ARCH.changes
p2pwatch_${VERSION}_$ARCH.deb"
TOOL_DEB=$OUT/p2ptool_${VERSION}_$ARCH.deb
WATCH_DEB=$OUT/p2pwatch_${VERSION}_$ARCH.deb

ROOT=$SCRATCH/root
for deb in "$TOOL_DEB" "$WATCH_DEB"; do dpkg-deb -x "$deb" "$ROOT"; done
chmod 755 "$ROOT"
contents() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | LC_ALL=C sort; }
check "packages: p2ptool carries the program, its man page, the p2ptool units and the rules" \
  same_text "$(contents "$TOOL_DEB")" "$(grep -v p2pwatch <<<"$EXPECTED_USR")"
check "packages: p2pwatch carries the daemon, its man page and its unit" \
  same_text "$(contents "$WATCH_DEB")" "$(grep p2pwatch <<<"$EXPECTED_USR")"
# The same bytes as cmake --install, but for the programs (stripped).
for file in $(grep -v /sbin/ <<<"$EXPECTED_USR"); do
  check "packages: $file as cmake --install writes it" cmp "$ROOT$file" "$STAGED$file"
done
for program in p2ptool p2pwatch; do
  check "packages: $program is executable" [ -x "$ROOT/usr/sbin/$program" ]
done
check "packages: copyright in machine-readable format" \
  has_line "$ROOT/usr/share/doc/p2ptool/copyright" \
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
check "packages: changelog names this version" \
  grep -q "^p2ptoolkit ($VERSION) " <(gzip -dc "$ROOT/usr/share/doc/p2pwatch/changelog.gz")
if command -v lintian >/dev/null; then
  check "lintian: no errors and no warnings" \
    lintian --fail-on error,warning "$OUT/p2ptoolkit_${VERSION}_$ARCH.changes"
else
  echo "(lintian not installed: packages not checked by lintian)"
fi

# Control fields.
field() { dpkg-deb -f "$1" "$2"; }
# Package names of the Depends field, one a line.
depends_names() { field "$1" Depends | tr ',|' '\n\n' | awk 'NF { print $1 }'; }
for deb in "$TOOL_DEB" "$WATCH_DEB"; do
  name=$(field "$deb" Package)
  check "$name: Version" same_text "$(field "$deb" Version)" "$VERSION"
  check "$name: Architecture" same_text "$(field "$deb" Architecture)" "$ARCH"
  check "$name: Maintainer" [ -n "$(field "$deb" Maintainer)" ]
  check "$name: Description" [ -n "$(field "$deb" Description)" ]
done
for dep in pciutils libc6 libstdc++6; do
  check "p2ptool: Depends names $dep" grep -qxF "$dep" <(depends_names "$TOOL_DEB")
done
check "p2pwatch: Depends on p2ptool of the same version" \
  grep -qF "p2ptool (= $VERSION)" <(field "$WATCH_DEB" Depends)
check "p2pwatch: Depends names libsystemd0" grep -qxF libsystemd0 <(depends_names "$WATCH_DEB")
for deb in "$TOOL_DEB" "$WATCH_DEB"; do
  control=$SCRATCH/control-$(field "$deb" Package)
  dpkg-deb -e "$deb" "$control"
  for script in "$control"/{preinst,postinst,prerm,postrm}; do
    [ -e "$script" ] && check "${script##*/control-}: shell syntax" sh -n "$script"
  done
done

# --- installing and purging in the sandbox ------------------------------------

if dpkg-query -W p2ptool p2pwatch >/dev/null 2>&1; then
  skip_or_fail "p2ptool or p2pwatch is installed on this machine: the rounds below need a root without them"
fi

# in_box <round directory> <command...>: runs the command in a sandbox whose
# /usr, /etc and /var are overlays with their upper directories in the round's
# directory, and whose /run is the round's empty run/.
in_box() {
  local round=$1
  shift
  "$P2PSIM" run --etc-upper "$round/etc" --overlay "$round/usr:/usr" --overlay "$round/var:/var" \
    --bind "$round/run:/run" --path "$round/stubs" -- "$@"
}
new_round() {
  mkdir -p "$1"/{etc,usr,var,run,stubs}
}
# The packages dpkg knows, with their state (p2ptoolkit, named in the new
# packages' Conflicts, is known as not installed).
dpkg_status() {
  in_box "$1" dpkg-query -W -f='${Package} ${db:Status-Status}\n' p2ptool p2ptoolkit p2pwatch \
    2>/dev/null | grep -v ' not-installed$'
}
# Every path the round's upper directories and /run hold whose name is
# p2ptool's or p2pwatch's or /etc/qz; man's cache of the pages it formatted
# (for systemd-analyze verify) aside, which is man-db's, not the packages'.
leftovers_in() {
  (cd "$1" && find etc usr var run -printf '%p\n' | grep -E 'p2p|^etc/qz' |
    grep -v '^var/cache/man/' | LC_ALL=C sort)
}

ROUND=$SCRATCH/round-without-systemd
new_round "$ROUND"
if ! out=$(in_box "$ROUND" true 2>&1); then
  skip_or_fail "sandbox unavailable: $out"
fi
UNITS=(p2ptool.service p2ptool-guest.service p2pwatch.service p2ptool-metrics.timer)
LOG=$ROUND.log
check "without systemd: both packages install" \
  logged "$LOG" in_box "$ROUND" dpkg -i "$TOOL_DEB" "$WATCH_DEB"
check "without systemd: both packages installed" same_text "$(dpkg_status "$ROUND")" \
  "p2ptool installed
p2pwatch installed"
check "without systemd: a first install without p2ptoolkit says nothing of it" \
  same_text "$(grep -F p2ptoolkit "$LOG")" ""
check "without systemd: every unit installed disabled, the metrics timer too" \
  same_text "$(in_box "$ROUND" systemctl is-enabled "${UNITS[@]}")" "disabled
disabled
disabled
disabled"
check "without systemd: the metrics service is started by its timer alone" \
  same_text "$(in_box "$ROUND" systemctl is-enabled p2ptool-metrics.service)" static
check "without systemd: the installed units verify" \
  same_text "$(in_box "$ROUND" systemd-analyze verify "${UNITS[@]/#//lib/systemd/system/}" \
    /lib/systemd/system/p2ptool-metrics.service 2>&1)" ""
check "without systemd: reinstalling (an upgrade's scripts) succeeds" \
  logged "$LOG" in_box "$ROUND" dpkg -i "$TOOL_DEB" "$WATCH_DEB"
check "without systemd: the units stay disabled on upgrade" \
  same_text "$(in_box "$ROUND" systemctl is-enabled "${UNITS[@]}")" "disabled
disabled
disabled
disabled"
# What the programs and an administrator leave: enabled units, peer files,
# p2pwatch's record, the metrics beside another collector's.
in_box "$ROUND" sh -ec 'systemctl enable --quiet "$@"
  mkdir -p /etc/qz/vm_p2p_cfg /run/p2pwatch /var/lib/prometheus/node-exporter
  touch /etc/qz/vm_p2p_cfg/0000:00:05.0 /etc/qz/vm_p2p_cfg/.peer-abcdef /run/p2pwatch/status
  touch /var/lib/prometheus/node-exporter/p2ptool.prom /var/lib/prometheus/node-exporter/other.prom' \
  sh "${UNITS[@]}"
check "without systemd: purging both succeeds" \
  logged "$LOG" in_box "$ROUND" dpkg --purge p2pwatch p2ptool
check "without systemd: dpkg knows neither package any more" \
  same_text "$(dpkg_status "$ROUND")" ""
check "without systemd: purge leaves nothing (files, links, state, /etc/qz, /run/p2pwatch, metrics)" \
  same_text "$(leftovers_in "$ROUND")" ""
check "without systemd: purge keeps another collector's metrics" \
  [ -e "$ROUND/var/lib/prometheus/node-exporter/other.prom" ]

# Second round: the scripts see a running systemd, whose commands are logged.
ROUND=$SCRATCH/round-with-systemd
new_round "$ROUND"
mkdir -p "$ROUND/run/systemd/system"
CALLS=$ROUND/run/calls
for stub in systemctl deb-systemd-invoke; do
  printf '#!/bin/sh\necho "%s $*" >>/run/calls\n' "$stub" >"$ROUND/stubs/$stub"
  chmod 755 "$ROUND/stubs/$stub"
done
# The calls since the last look, daemon-reload aside.
calls() {
  grep -v daemon-reload "$CALLS" 2>/dev/null
  rm -f "$CALLS"
}
LOG=$ROUND.log
check "with systemd: both packages install" \
  logged "$LOG" in_box "$ROUND" dpkg -i "$TOOL_DEB" "$WATCH_DEB"
check "with systemd: installing starts no unit" same_text "$(calls)" ""
check "with systemd: reinstalling succeeds" \
  logged "$LOG" in_box "$ROUND" dpkg -i "$TOOL_DEB" "$WATCH_DEB"
check "with systemd: an upgrade restarts p2pwatch only if it runs, no p2ptool unit" \
  same_text "$(calls)" "deb-systemd-invoke try-restart p2pwatch.service"
in_box "$ROUND" sh -ec 'mkdir -p /etc/qz/vm_p2p_cfg && touch /etc/qz/vm_p2p_cfg/0000:00:05.0 /etc/qz/keep'
check "with systemd: removing both succeeds" \
  logged "$LOG" in_box "$ROUND" dpkg --remove p2pwatch p2ptool
check "with systemd: removal stops p2pwatch and every p2ptool unit" \
  same_text "$(calls)" "deb-systemd-invoke stop p2pwatch.service
deb-systemd-invoke stop p2ptool.service p2ptool-guest.service p2ptool-metrics.timer p2ptool-metrics.service"
check "with systemd: purging both succeeds" \
  logged "$LOG" in_box "$ROUND" dpkg --purge p2pwatch p2ptool
check "with systemd: purge keeps /etc/qz with a file of another's" \
  same_text "$(leftovers_in "$ROUND")" "etc/qz
etc/qz/keep"

# --- upgrading from p2ptoolkit -------------------------------------------------

# A stand-in for p2ptoolkit 1.0.0, the single package that p2ptool and p2pwatch
# replace: its file list (the units under /usr/lib/systemd/system, on a merged
# /usr the same files as the new packages' /lib/systemd/system ones) and its
# maintainer scripts (tests/p2ptoolkit/, as its build shipped them: prerm on
# removal stops p2pwatch and disables p2pwatch.service and p2ptool.service).
OLD_FILES="/usr/lib/systemd/system/p2ptool.service
/usr/lib/systemd/system/p2pwatch.service
/usr/sbin/p2ptool
/usr/sbin/p2pwatch
/usr/share/doc/p2ptoolkit/changelog.gz
/usr/share/doc/p2ptoolkit/copyright
/usr/share/man/man8/p2ptool.8.gz
/usr/share/man/man8/p2pwatch.8.gz"
OLD_DEB=$SCRATCH/p2ptoolkit_1.0.0_$ARCH.deb
# stand_in <tree> <package> <deb>: the tree's files as a package of that name.
stand_in() {
  install -d "$1/DEBIAN"
  printf '%s\n' "Package: $2" "Version: 1.0.0" "Architecture: $ARCH" \
    "Maintainer: p2ptoolkit maintainers <p2ptoolkit@example.org>" \
    "Description: stand-in for the package test" >"$1/DEBIAN/control"
  dpkg-deb --root-owner-group --build "$1" "$3" >/dev/null
}
old_package() {
  local tree=$SCRATCH/p2ptoolkit file
  for file in $OLD_FILES; do
    install -D -m 644 "$ROOT$(sed -e 's|^/usr/lib/|/lib/|' -e 's|/p2ptoolkit/|/p2ptool/|' <<<"$file")" \
      "$tree$file"
  done
  chmod 755 "$tree"/usr/sbin/*
  install -D -m 755 -t "$tree/DEBIAN" "$CHECKOUT"/tests/p2ptoolkit/{postinst,prerm,postrm}
  stand_in "$tree" p2ptoolkit "$OLD_DEB"
}
check "p2ptoolkit stand-in builds" old_package

# What each package says on its first install after p2ptoolkit's removal.
notice() {
  echo "$1: p2ptoolkit's removal disabled $1.service; if it was enabled, enable it again: systemctl enable $1.service"
}
# apt-get with no package source but the files it is given: it cannot reach
# the network, and what it installs does not depend on this machine's lists.
APT=(env DEBIAN_FRONTEND=noninteractive apt-get -q -y -o Dpkg::Use-Pty=false
  -o "Dir::Etc::SourceList=$SCRATCH/apt/sources.list" -o "Dir::Etc::SourceParts=$SCRATCH/apt"
  -o "Dir::State::Lists=$SCRATCH/apt/lists")
mkdir -p "$SCRATCH/apt/lists/partial"
touch "$SCRATCH/apt/sources.list"

# upgrade_round <name> <packages> <command...>: p2ptoolkit installed and the
# units enabled that it shipped for the packages (each named after its
# package); then the command installs the packages over it. The root has no
# systemd running, so p2ptoolkit's prerm only disables. Sets ROUND and LOG.
upgrade_round() {
  local name=$1 package packages
  read -ra packages <<<"$2"
  shift 2
  ROUND=$SCRATCH/upgrade-${name// /-}
  LOG=$ROUND.log
  new_round "$ROUND"
  logged "$LOG" in_box "$ROUND" dpkg -i "$OLD_DEB" &&
    in_box "$ROUND" systemctl enable --quiet "${packages[@]/%/.service}"
  check "$name: p2ptoolkit installed, its units enabled" same_text \
    "$(in_box "$ROUND" systemctl is-enabled "${packages[@]/%/.service}" | sort -u)" enabled
  check "$name: installs ${packages[*]} over p2ptoolkit" logged "$LOG" in_box "$ROUND" "$@"
  check "$name: p2ptoolkit removed, ${packages[*]} installed" \
    same_text "$(dpkg_status "$ROUND")" \
    "$(printf '%s installed\n' "${packages[@]}" | sed '1a p2ptoolkit config-files')"
  check "$name: dpkg -V finds every file in place" \
    same_text "$(in_box "$ROUND" dpkg -V "${packages[@]}" 2>&1)" ""
  check "$name: the units stay disabled" same_text \
    "$(in_box "$ROUND" systemctl is-enabled "${packages[@]/%/.service}" | sort -u)" disabled
  check "$name: each package names its unit to enable again" \
    same_text "$(grep -F "p2ptoolkit's removal" "$LOG" | sort)" \
    "$(for package in "${packages[@]}"; do notice "$package"; done)"
  check "$name: no diversion left" same_text "$(in_box "$ROUND" dpkg-divert --list '*p2p*')" ""
}

upgrade_round "dpkg -i p2ptool p2pwatch" "p2ptool p2pwatch" dpkg -i "$TOOL_DEB" "$WATCH_DEB"
check "dpkg -i p2ptool p2pwatch: purging all three leaves nothing" \
  logged "$LOG" in_box "$ROUND" dpkg --purge p2ptoolkit p2pwatch p2ptool
check "dpkg -i p2ptool p2pwatch: nothing left" same_text "$(leftovers_in "$ROUND")" ""
# dpkg removes p2ptoolkit in favour of the first package it unpacks.
upgrade_round "dpkg -i p2pwatch p2ptool" "p2ptool p2pwatch" dpkg -i "$WATCH_DEB" "$TOOL_DEB"
upgrade_round "host dpkg -i p2ptool" p2ptool dpkg -i "$TOOL_DEB"
upgrade_round "apt-get install" "p2ptool p2pwatch" "${APT[@]}" install "$TOOL_DEB" "$WATCH_DEB"
check "apt-get install: a later install says nothing more" \
  same_text "$(in_box "$ROUND" dpkg -i "$TOOL_DEB" "$WATCH_DEB" 2>&1 | grep -F p2ptoolkit)" ""

# An install that fails after p2ptool's preinst, on a file of another package
# in its way, leaves p2ptoolkit with every file and no diversion behind.
ROUND=$SCRATCH/upgrade-aborted
LOG=$ROUND.log
new_round "$ROUND"
CLASH_DEB=$SCRATCH/p2pclash.deb
install -D -m 644 /dev/null "$SCRATCH/p2pclash/lib/systemd/system/p2ptool-guest.service"
stand_in "$SCRATCH/p2pclash" p2pclash "$CLASH_DEB"
logged "$LOG" in_box "$ROUND" dpkg -i "$OLD_DEB" "$CLASH_DEB"
check "aborted: dpkg -i p2ptool fails on the other package's file" \
  [ "$(in_box "$ROUND" dpkg -i "$TOOL_DEB" 2>&1 | grep -c 'also in package p2pclash')" -eq 1 ]
check "aborted: p2ptoolkit still installed" same_text "$(dpkg_status "$ROUND")" "p2ptoolkit installed"
check "aborted: p2ptoolkit's files in place" \
  same_text "$(in_box "$ROUND" dpkg -V p2ptoolkit 2>&1)" ""
check "aborted: no diversion left" same_text "$(in_box "$ROUND" dpkg-divert --list '*p2p*')" ""

# --- man pages ---------------------------------------------------------------

for page in p2ptool p2pwatch; do
  source=$SCRATCH/$page.8
  gzip -dc "$ROOT/usr/share/man/man8/$page.8.gz" >"$source"
  check "man $page: renders without warnings" \
    same_text "$(groff -man -Tutf8 -ww -z "$source" 2>&1)" ""
  check "man $page: NAME" grep -q "^$page \\\\- " "$source"
  for section in SYNOPSIS DESCRIPTION OPTIONS MESSAGES 'EXIT STATUS' FILES EXAMPLES 'SEE ALSO'; do
    check "man $page: section $section" grep -qxF ".SH $section" "$source"
  done
  for reference in 'lspci (8)' 'setpci (8)' 'systemd.service (5)'; do
    check "man $page: SEE ALSO $reference" \
      grep -qF ".BR $reference" <(sed -n '/^\.SH SEE ALSO/,$p' "$source")
  done
  check "man $page: guest set-up enables both guest units" \
    grep -qF "systemctl enable p2ptool\\-guest.service p2pwatch.service" "$source"
  check "man $page: root refusal" grep -qF "Requires root privileges." "$source"
done
check "man p2ptool: help texts of the options" \
  grep -qF "Write data to base reg0." "$SCRATCH/p2ptool.8"
check "man p2ptool: help texts of the options" \
  grep -qF "Read HBM data and write data to vm_p2p_cfg." "$SCRATCH/p2ptool.8"
check "man p2ptool: FILES names the guest unit" \
  grep -qxF ".I /lib/systemd/system/p2ptool\\-guest.service" \
  <(sed -n '/^\.SH FILES/,/^\.SH/p' "$SCRATCH/p2ptool.8")
check "man p2ptool: FILES names the metrics file" \
  grep -qxF ".I /var/lib/prometheus/node\\-exporter/p2ptool.prom" \
  <(sed -n '/^\.SH FILES/,/^\.SH/p' "$SCRATCH/p2ptool.8")

# --- the packaged programs -----------------------------------------------------

help_long=$(as_nobody "$ROOT/usr/sbin/p2ptool" --help)
status=$?
check "p2ptool --help: status 0" [ $status -eq 0 ]
check "p2ptool --help: description" grep -qxF "Tamberon Zorva Related Pcie Tool." <<<"$help_long"
check "p2ptool --help: write option" grep -qE -- '^ +-w,--write +Write data to base reg0\.$' \
  <<<"$help_long"
check "p2ptool --help: read option" \
  grep -qE -- '^ +-r,--read +Read HBM data and write data to vm_p2p_cfg\.$' <<<"$help_long"
help_short=$(as_nobody "$ROOT/usr/sbin/p2ptool" -h)
status=$?
check "p2ptool -h: status 0" [ $status -eq 0 ]
check "p2ptool -h: the same text as --help" same_text "$help_short" "$help_long"

watch_out=$(as_nobody "$ROOT/usr/sbin/p2pwatch" 2>"$SCRATCH/watch.err")
status=$?
check "p2pwatch as a user: status 255" same_text "$status" 255
check "p2pwatch as a user: refusal" same_text "$watch_out" "Requires root privileges."
check "p2pwatch as a user: nothing on standard error" [ ! -s "$SCRATCH/watch.err" ]

finish
