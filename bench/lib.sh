# shellcheck shell=bash
# Helpers of bench/run.sh, sourced: plain bash and awk, no /proc of their
# own, so that bench/lib_test.sh can feed them fixed input.

# The supervisor's own processes among "pid ppid comm" lines (ps -e -o
# pid=,ppid=,comm=): descendants of root whose name is one of names. A child
# forked but not yet executed carries its parent's name, so a process whose
# parent has its name is such a child, not a supervisor. Prints "pid name"
# lines sorted by pid.
own_processes() {  # root pid, names (space-separated)
  awk -v root="$1" -v names=" $2 " '
    { parent[$1] = $2; name[$1] = $3 }
    END {
      for (p in parent) {
        if (!index(names, " " name[p] " ") || name[parent[p]] == name[p]) continue
        for (q = p; q in parent && q != root; q = parent[q]) {}
        if (q == root) print p, name[p]
      }
    }' | sort -n
}

# Figures: a series is a file with one number a line (one per round).

# "median min max" of a series, or "- - -" when it is empty. The median of
# an even count is the mean of the two middle values.
series_summary() {
  { sort -g "$1" 2>/dev/null || true; } | awk '
    NF { v[++n] = $1 }
    END {
      if (n == 0) { print "- - -"; exit }
      m = n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
      printf "%.6g %.6g %.6g\n", m, v[1], v[n]
    }'
}

series_median() { local m _; read -r m _ < <(series_summary "$1"); echo "$m"; }
series_max() { local _m _n x; read -r _m _n x < <(series_summary "$1"); echo "$x"; }

# One table cell: "median [min..max]" divided by a unit, with the given
# number of decimals; "-" for an empty series, the median alone when all
# values round alike.
series_cell() {
  local file=$1 unit=${2:-1} decimals=${3:-0}
  series_summary "$file" | awk -v u="$unit" -v d="$decimals" '
    $1 == "-" { print "-"; exit }
    {
      f = "%." d "f"
      m = sprintf(f, $1 / u); lo = sprintf(f, $2 / u); hi = sprintf(f, $3 / u)
      print (lo == hi) ? m : m " [" lo ".." hi "]"
    }'
}

# a / b with two decimals, "-" when either is missing or b is 0.
ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN {
    if (a == "-" || b == "-" || a == "" || b == "" || b + 0 == 0) print "-"
    else printf "%.2f\n", a / b }'
}

# "met" when value <= factor * limit, "not met" otherwise, "unknown" when a
# figure is missing.
verdict_at_most() {
  awk -v v="$1" -v f="$2" -v l="$3" 'BEGIN {
    if (v == "-" || l == "-" || v == "" || l == "") print "unknown"
    else print (v + 0 <= f * l) ? "met" : "not met" }'
}
