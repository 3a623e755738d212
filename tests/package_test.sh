#!/bin/bash
# Checks what the toolkit installs and its Debian package:
#
#   package_test.sh <build-dir> <version>
#
# Installs the build into a scratch prefix, builds the .deb with CPack into a
# scratch directory and unpacks it there. Nothing is installed on this machine,
# and the build's install_manifest.txt (of the user's own install) is left as
# it was.
# The packaged programs run only as an unprivileged user: p2pwatch must never
# watch the real /dev, nor p2ptool touch the real PCI devices.
#
# CPack first brings the build tree up to date, which must not relink programs
# that other tests are running: the test is registered to run alone.
set -uo pipefail

BUILD=$(cd "$1" && pwd)
VERSION=$2
NOBODY=65534
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

same_text() {  # same_text <actual> <expected>
  [ "$1" = "$2" ] && return 0
  printf '  expected:\n%s\n  actual:\n%s\n' "$2" "$1"
  return 1
}

# Files and symbolic links below a directory, relative to it, sorted.
files_below() { (cd "$1" && find . \( -type f -o -type l \) -printf '%P\n' | LC_ALL=C sort); }

has_line() { grep -qxF -- "$2" "$1" || { echo "  no line \"$2\" in $1"; return 1; }; }
lacks_line_starting() { ! grep -q "^$2" "$1" || { echo "  unexpected \"$2\" in $1"; return 1; }; }

# Runs a command as the unprivileged user, with a time limit; refuses to run it
# at all if the user could not be changed.
as_nobody() {
  local drop=()
  [ "$(id -u)" -eq 0 ] && drop=(setpriv --reuid=$NOBODY --regid=$NOBODY --clear-groups --)
  timeout 20 "${drop[@]}" sh -c '[ "$(id -u)" -ne 0 ] || exit 99; exec "$@"' sh "$@"
}

# --- cmake --install --------------------------------------------------------

PREFIX=$SCRATCH/prefix
UNIT_REL=lib/systemd/system/p2pwatch.service
TOOL_UNIT_REL=lib/systemd/system/p2ptool.service
DOC_REL=share/doc/p2ptoolkit
EXPECTED_INSTALL="$TOOL_UNIT_REL
$UNIT_REL
sbin/p2ptool
sbin/p2pwatch
$DOC_REL/changelog.gz
$DOC_REL/copyright
share/man/man8/p2ptool.8.gz
share/man/man8/p2pwatch.8.gz"

if cmake --install "$BUILD" --prefix "$PREFIX" >"$SCRATCH/install.log" 2>&1; then
  check "install: exactly the programs, the unit and the man pages" \
    same_text "$(files_below "$PREFIX")" "$EXPECTED_INSTALL"
  check "install: the unit starts the installed p2pwatch" \
    has_line "$PREFIX/$UNIT_REL" "ExecStart=$PREFIX/sbin/p2pwatch"
  check "install: the boot unit runs the installed p2ptool, then its write mode" \
    has_line "$PREFIX/$TOOL_UNIT_REL" "ExecStart=$PREFIX/sbin/p2ptool -w"
else
  check "cmake --install succeeds" false
  cat "$SCRATCH/install.log"
fi

# A staged install (DESTDIR): the manifest names the installed paths, the
# unit's like every other, without the staging prefix.
if DESTDIR=$SCRATCH/staged cmake --install "$BUILD" --prefix /usr >"$SCRATCH/staged.log" 2>&1; then
  check "staged install: manifest lines without the DESTDIR prefix" \
    same_text "$(LC_ALL=C sort "$MANIFEST")" "$(sed 's|^|/usr/|' <<<"$EXPECTED_INSTALL")"
else
  check "staged install succeeds" false
  cat "$SCRATCH/staged.log"
fi

# --- the package -------------------------------------------------------------

if ! (cd "$SCRATCH" && cpack --config "$BUILD/CPackConfig.cmake" -G DEB -B "$SCRATCH/pkg") \
  >"$SCRATCH/cpack.log" 2>&1; then
  cat "$SCRATCH/cpack.log"
  check "cpack builds the package" false
  echo "$checks checks, $failures failed"
  exit 1
fi
shopt -s nullglob
debs=("$SCRATCH"/pkg/*.deb)
shopt -u nullglob
if [ ${#debs[@]} -ne 1 ]; then
  echo "FAIL cpack makes one package, not ${#debs[@]}"
  exit 1
fi
DEB=${debs[0]}
check "package file name" same_text "$(basename "$DEB")" \
  "p2ptoolkit_${VERSION}_$(dpkg --print-architecture).deb"

ROOT=$SCRATCH/root
dpkg-deb -x "$DEB" "$ROOT"
chmod 755 "$ROOT"
UNIT=$ROOT/usr/$UNIT_REL
check "package: exactly the programs, the unit and the man pages" \
  same_text "$(files_below "$ROOT")" "$(sed 's|^|usr/|' <<<"$EXPECTED_INSTALL")"
for program in p2ptool p2pwatch; do
  check "package: $program is executable" [ -x "$ROOT/usr/sbin/$program" ]
done
check "package: copyright in machine-readable format" \
  grep -qxF "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" \
  "$ROOT/usr/$DOC_REL/copyright"
check "package: copyright names the licence" grep -qxF "License: Apache-2.0" \
  "$ROOT/usr/$DOC_REL/copyright"
check "package: changelog names this version" \
  grep -q "^p2ptoolkit ($VERSION) " <(gzip -dc "$ROOT/usr/$DOC_REL/changelog.gz")
if command -v lintian >/dev/null; then
  check "lintian: no errors" lintian --fail-on error "$DEB"
else
  echo "(lintian not installed: package not checked by lintian)"
fi

# Control fields.
field() { dpkg-deb -f "$DEB" "$1"; }
# Package names of the Depends field, one a line.
depends_names() { field Depends | tr ',|' '\n\n' | awk 'NF { print $1 }'; }
check "control: Package" same_text "$(field Package)" p2ptoolkit
check "control: Version" same_text "$(field Version)" "$VERSION"
check "control: Architecture" same_text "$(field Architecture)" "$(dpkg --print-architecture)"
check "control: Maintainer" [ -n "$(field Maintainer)" ]
check "control: Description" [ -n "$(field Description)" ]
for dep in pciutils bash libc6 libstdc++6; do
  check "control: Depends names $dep" grep -qxF "$dep" <(depends_names)
done

# Maintainer scripts: valid, and harmless without a running systemd or with a
# failing systemctl (this stub stands in for it, whatever the machine has).
CONTROL=$SCRATCH/control
dpkg-deb -e "$DEB" "$CONTROL"
mkdir -p "$SCRATCH/stub"
printf '#!/bin/sh\necho "systemctl $*" >> "%s"\nexit 1\n' "$SCRATCH/systemctl.calls" \
  >"$SCRATCH/stub/systemctl"
chmod 755 "$SCRATCH/stub/systemctl"
for script in postinst prerm postrm; do
  [ -e "$CONTROL/$script" ] && check "$script: shell syntax" sh -n "$CONTROL/$script"
done
for run in "postinst configure" "prerm remove" "prerm upgrade" "postrm remove" "postrm purge"; do
  read -r script action <<<"$run"
  [ -e "$CONTROL/$script" ] || continue
  check "$script $action: status 0 when systemctl fails" \
    env PATH="$SCRATCH/stub:/usr/bin:/bin" sh "$CONTROL/$script" "$action"
done

# The unit.
check "unit: Type=notify" has_line "$UNIT" "Type=notify"
check "unit: ExecStart is the packaged p2pwatch" has_line "$UNIT" "ExecStart=/usr/sbin/p2pwatch"
check "unit: restarted whatever the exit status" has_line "$UNIT" "Restart=always"
check "unit: early boot" has_line "$UNIT" "DefaultDependencies=no"
check "unit: before udev's coldplug and modules-load.d" \
  has_line "$UNIT" "Before=systemd-udev-trigger.service systemd-modules-load.service"
check "unit: not after local-fs.target (it waits for coldplug)" \
  lacks_line_starting "$UNIT" "After=.*local-fs.target"
check "unit: installed into sysinit.target" has_line "$UNIT" "WantedBy=sysinit.target"
if command -v systemd-analyze >/dev/null; then
  check "unit: systemd-analyze verify" \
    systemd-analyze verify --man=no --root="$ROOT" "$UNIT"
else
  echo "(systemd-analyze not installed: unit not verified by systemd)"
fi

# Man pages: render without warnings, and document the programs as they are.
for page in p2ptool p2pwatch; do
  source=$SCRATCH/$page.8
  gzip -dc "$ROOT/usr/share/man/man8/$page.8.gz" >"$source"
  check "man $page: renders without warnings" \
    same_text "$(groff -man -Tutf8 -ww -z "$source" 2>&1)" ""
  check "man $page: NAME" grep -q "^$page \\\\- " "$source"
  for section in SYNOPSIS DESCRIPTION OPTIONS MESSAGES 'EXIT STATUS' FILES 'SEE ALSO'; do
    check "man $page: section $section" grep -qxF ".SH $section" "$source"
  done
  check "man $page: root refusal" grep -qF "Requires root privileges." "$source"
done
check "man p2ptool: help texts of the options" \
  grep -qF "Write data to base reg0." "$SCRATCH/p2ptool.8"
check "man p2ptool: help texts of the options" \
  grep -qF "Read HBM data and write data to vm_p2p_cfg." "$SCRATCH/p2ptool.8"

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

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
