#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The suite's inputs are never written: `record` keeps the sha256 of every file of the data
# folder before the tests run, `check` compares them after every test has.
#   inputs_checksums.sh record|check DATA_DIR LIST
set -euo pipefail
mode=$1 data=$2 list=$3
case "$mode" in
  record)
    (cd "$data" && find . -type f -print0 | sort -z | xargs -0 sha256sum) > "$list"
    echo "$(wc -l < "$list") inputs recorded" ;;
  check)
    (cd "$data" && sha256sum --check --quiet "$list")
    now=$(cd "$data" && find . -type f | wc -l)
    [ "$now" -eq "$(wc -l < "$list")" ] || { echo "the data folder holds $now files, not $(wc -l < "$list")"; exit 1; }
    echo "$now inputs unchanged" ;;
  *) echo "usage: $0 record|check DATA_DIR LIST" >&2; exit 2 ;;
esac
