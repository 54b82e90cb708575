#!/usr/bin/env bash
# Checks the figures helpers that bench/run.sh prints its table with; run.sh
# runs it first, so a wrong median never reaches the README.
set -euo pipefail
source "$(dirname "$0")/stats.sh"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
expect() {  # description, expected, actual
  if [ "$2" != "$3" ]; then
    echo "stats_test: $1: expected '$2', got '$3'"
    failures=$((failures + 1))
  fi
}
series() { local f="$dir/$1"; shift; printf '%s\n' "$@" > "$f"; echo "$f"; }

# summary: odd and even counts, unsorted input, numeric (not text) order, empty
expect "odd count" "3 1 10" "$(series_summary "$(series a 10 1 3)")"
expect "even count" "6.5 2 20" "$(series_summary "$(series b 20 2 5 8)")"
expect "numeric order" "9 9 100" "$(series_summary "$(series c 100 9 9)")"
expect "empty" "- - -" "$(series_summary "$(series d)")"
: > "$dir/e"
expect "empty file" "- - -" "$(series_summary "$dir/e")"
expect "missing file" "- - -" "$(series_summary "$dir/none")"
expect "missing file status" "0" "$(series_summary "$dir/none" >/dev/null; echo $?)"
expect "missing file cell status" "0" "$(series_cell "$dir/none" >/dev/null; echo $?)"
expect "median" "3" "$(series_median "$dir/a")"
expect "max" "10" "$(series_max "$dir/a")"

# cells: unit, decimals, collapsed range, empty
expect "cell ns to us" "285 [281..1391]" "$(series_cell "$(series f 285000 1391000 281000)" 1000)"
expect "cell decimals" "0.5 [0.0..1.0]" "$(series_cell "$(series g 0 1 0.5)" 1 1)"
expect "cell equal" "0" "$(series_cell "$(series h 0 0 0)")"
expect "cell empty" "-" "$(series_cell "$dir/e")"

# ratios and targets, including missing figures and the boundary
expect "ratio" "0.32" "$(ratio 152 472)"
expect "ratio by zero" "-" "$(ratio 1 0)"
expect "ratio missing" "-" "$(ratio - 3)"
expect "at most, below" "met" "$(verdict_at_most 99 0.8 124)"
expect "at most, boundary" "met" "$(verdict_at_most 120 1.2 100)"
expect "at most, above" "not met" "$(verdict_at_most 152 0.8 124)"
expect "at most, missing" "unknown" "$(verdict_at_most - 0.8 124)"

[ "$failures" -eq 0 ] && echo "stats_test: all passed"
exit $((failures > 0))
