#!/bin/bash
# Checks the example alert rules that install as
# /usr/share/doc/p2ptool/examples/p2ptool.rules.yml: promtool check rules, and
# promtool test rules with tests/alert_rules_test.yml, which shows each alert
# firing and quiet on given readings.
#
#   alert_rules_test.sh SOURCE_DIR
#
# Without promtool (Debian package prometheus, installed by scripts/deps) it is
# skipped (status 77), and under CI=true it fails instead.
set -euo pipefail

source_dir=$1
readonly skip=77

if ! command -v promtool >/dev/null; then
  echo "alert_rules_test: promtool missing (scripts/deps installs prometheus)" >&2
  [ "${CI:-}" = true ] && exit 1
  exit $skip
fi
promtool check rules "$source_dir/dist/p2ptool.rules.yml"
promtool test rules "$source_dir/tests/alert_rules_test.yml"
