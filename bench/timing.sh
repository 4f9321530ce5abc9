# SPDX-License-Identifier: GPL-3.0-or-later
# Shell helpers of the benchmark scripts (sourced, not run).

# Texts of the wanted size, built from the platform's samples.
fill() {  # fill SOURCE BYTES OUT
  : >"$3"
  while [ "$(stat -c %s "$3")" -lt "$2" ]; do cat "$1" >>"$3"; done
}

# Prints "wall cpu" seconds of one run (cpu = user + system, less sensitive to a busy machine).
seconds() {
  local TIMEFORMAT='%R %U %S' t
  t=$( { time "$@" >/dev/null 2>&1; } 2>&1 )
  read -r wall user sys <<<"$t"
  echo "$wall $(echo "$user + $sys" | bc -l)"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
