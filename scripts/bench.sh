#!/usr/bin/env bash
# Runs the benchmarks of the native build and writes bench/RESULTS.md (table
# of channel/raw ratios and allocations against the goals) and
# bench/tcp_rtt.png (TCP round-trip distribution). The channels' log goes to
# /dev/null while they are timed. BENCH_REPS (default 5) repetitions per
# benchmark; the table uses the medians.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build/native/bench
out=build/native/bench-results
mkdir -p "$out"

plot=1
if ! command -v gnuplot >/dev/null 2>&1; then
  if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null 2>&1; then
    apt-get install -y gnuplot-nox >/dev/null || true
  fi
  if ! command -v gnuplot >/dev/null 2>&1; then
    echo "gnuplot not found; install it with: sudo apt-get install -y gnuplot-nox" >&2
    echo "skipping the plot bench/tcp_rtt.png" >&2
    plot=0
  fi
fi

reps=${BENCH_REPS:-5}
for name in bench_hexdump bench_net bench_serial bench_lock bench_dlopen; do
  b=$dir/$name
  [[ -x $b ]] || { echo "missing $b (build the native preset)" >&2; exit 1; }
  echo "== $name"
  # Console output through a pipe: stdout is then fully buffered, as for a
  # host whose stdout is /dev/null or a log file, whatever the terminal.
  KXSER_RTT_SAMPLES=$out/tcp_rtt.dat "$b" --benchmark_min_time="${BENCH_MIN_TIME:-0.2}" \
    --benchmark_repetitions="$reps" --benchmark_report_aggregates_only=true \
    --benchmark_out="$out/$name.json" --benchmark_out_format=json "$@" | cat
done

python3 bench/report.py "$out" bench/RESULTS.md
if [[ $plot -eq 1 && -s $out/tcp_rtt.dat ]]; then
  gnuplot -e "data='$out/tcp_rtt.dat'; out='bench/tcp_rtt.png'" bench/tcp_rtt.gp
  echo "wrote bench/tcp_rtt.png"
fi
echo "wrote bench/RESULTS.md"
