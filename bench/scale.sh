#!/bin/sh
# The whole program at scale, timed as a user runs it (usage: bench/scale.sh BUILD [MPI_BUILD]):
#   1. bench/heavy: a field-map-heavy magnet (about 53,000 segments, 80,000 points) on 1 and 2 workers,
#      in segment-point pairs per second, to compare with 2 x the picked kernel's one-core rate
#      (field_bench);
#   2. the same with 1 and 2 MPI ranks of one worker each (when an MPI build is given);
#   3. bench/huge: a map of 10^8 points (a 10 GB file) and the run's peak memory.
set -eu
build=$(cd "$1" && pwd)
mpi=${2:+$(cd "$2" && pwd)}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

run() {  # label, command...: prints seconds, peak RSS and the pair rate
  label=$1
  shift
  rm -rf "$work/run" && mkdir "$work/run" && cp "$config" "$work/run/"
  (cd "$work/run" && /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null)
  read -r seconds kib <"$work/time"
  segments=$(($(wc -l <"$work/run/windings_Straight.csv") - 1))
  points=$(($(wc -l <"$work/run/fieldmap_Straight.csv") - 1))
  echo "$label: $seconds s, peak $((kib / 1024)) MiB, $segments segments x $points points =" \
    "$(awk "BEGIN { printf \"%.3g\", $segments * $points / $seconds }") pairs/s"
}

config=$here/heavy/config.txt
EXPCOIL_WORKERS=1 run "heavy, 1 worker" "$build/expcoil"
EXPCOIL_WORKERS=2 run "heavy, 2 workers" "$build/expcoil"
if [ -n "$mpi" ]; then
  root=""
  [ "$(id -u)" = 0 ] && root="--allow-run-as-root"
  EXPCOIL_WORKERS=1 run "heavy, MPI 1 rank x 1 worker" mpirun $root -np 1 "$mpi/expcoil"
  EXPCOIL_WORKERS=1 run "heavy, MPI 2 ranks x 1 worker" mpirun $root -np 2 "$mpi/expcoil"
fi
config=$here/huge/config.txt
run "huge map" "$build/expcoil"
