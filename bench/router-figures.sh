#!/usr/bin/env bash
# Figures of the supervisor on an emulated router, in one VM side by side:
# its CPU per restart against a bare fork-exec-wait loop with the same 10 s
# delay (run time from the threads' schedstat), its memory with four
# programs and the watchdog (smaps_rollup), and boot to first program (the
# guest's uptime at the first program's start; qemu's own start-up is not in
# it). Runs with qemu's instruction counting, so the 10 s waits cost no time.
# Usage: bench/router-figures.sh mipsel|armhf [restarts]   (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:?usage: router-figures.sh mipsel|armhf [restarts]}
restarts=${2:-20}
dir=build/router/$arch/figures
rm -rf "$dir" && mkdir -p "$dir"
[ -s "build/router/$arch/initrd.gz" ] || scripts/router/build-image.sh "$arch"
log=$dir/console.log
scripts/router/boot.sh "$arch" --disk "$dir/data.img" --log "$log" --icount --timeout 900 \
  --append "router.mode=bench router.restarts=$restarts" || true
sed -i 's/\r$//' "$log"
grep -q '^ROUTER bench done' "$log" || { echo "router-figures: no figures; console:"; cat "$log"; exit 1; }
value() { sed -n "s/^ROUTER bench $1 ns-per-restart=\([0-9]*\).*/\1/p" "$log"; }
echo "router figures ($arch, $restarts restarts):"
awk -v s="$(value supervisor)" -v b="$(value bare-loop)" 'BEGIN {
  printf "  CPU per restart: supervisor %.0f us, bare loop %.0f us\n", s / 1000, b / 1000 }'
# Private_Dirty apart from read-only pages of the program's file, which the
# initramfs (a ramfs) counts as dirty and a router's flash would not.
anonymous_kb() {
  awk -v who="$1" '$1 == "ROUTER" && $2 == who && $3 == "memory" {
                     for (i = 4; i < NF; i++) if ($i == "Private_Dirty:") total = $(i + 1) }
                   $1 == "ROUTER" && $2 == who && / read-only file pages / { file = $(NF - 2) }
                   END { print total - file }' "$log"
}
for who in bench floor; do
  label=supervisor; [ "$who" = bench ] || label="floor (two threads that pause)"
  echo "  $label memory, idle: $(sed -n "s/^ROUTER $who memory \(.*\) up=.*/\1/p" "$log")"
  sed -n "s/^ROUTER $who mapping \(.*\) up=.*/    \1/p" "$log"
done
awk -v s="$(anonymous_kb bench)" -v f="$(anonymous_kb floor)" 'BEGIN {
  printf "  Private_Dirty apart from read-only file pages: supervisor %d kB, floor %d kB, %.2f x\n",
         s, f, (f > 0 ? s / f : 0) }'
echo "  boot to first program: $(sed -n 's/^ROUTER bench first-program up=\(.*\)/\1/p' "$log") s of uptime"
