#!/bin/sh
# Benchmark: builds the analyser (Release), generates two deterministic
# combined-format logs (1 million lines, and 5 million lines with at least
# 500,000 distinct URLs), times the analyser on each with default settings
# and reports written, and, when they are installed, Analog and GoAccess on
# the 1-million-line log. Prints lines per second, peak memory and ratios.
#
# Generated logs are cached under bench/out/ (git-ignored); remove them to
# regenerate. Usage: [RUNS=n] bench/run.sh [--skip-5m]
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
out="$here/out"
build="$root/build-bench"
mkdir -p "$out"

skip5=0
[ "${1:-}" = "--skip-5m" ] && skip5=1

# What the build needs, then GNU time for the peak-memory figure.
sh "$root/scripts/install-deps.sh"
if [ ! -x /usr/bin/time ]; then
    echo "installing GNU time" >&2
    apt-get install -y time >/dev/null
fi

echo "== building (Release)"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVALIST_TESTS=OFF >/dev/null
ninja -C "$build" corvalist >/dev/null
bin="$build/corvalist"

# The generator is rebuilt when its source changes; a changed generator
# invalidates the cached logs.
gen="$out/genlog"
if [ ! -x "$gen" ] || [ "$here/genlog.cc" -nt "$gen" ]; then
    g++ -std=c++20 -O2 -o "$gen" "$here/genlog.cc"
    rm -f "$out"/bench-*.log
fi

make_log() {  # lines url_pool seed file
    if [ ! -s "$4" ]; then
        echo "== generating $(basename "$4")"
        "$gen" "$1" "$2" "$3" "$4.tmp"
        mv "$4.tmp" "$4"
    fi
}

log1="$out/bench-1m.log"
log5="$out/bench-5m.log"
make_log 1000000 150000 20130101 "$log1"
[ $skip5 -eq 1 ] || make_log 5000000 700000 20130105 "$log5"

# Distinct URL paths (query parts removed, as the analyser counts them).
distinct_urls() {
    awk '{u=$7; sub(/\?.*/, "", u); if (!(u in s)) {s[u]=1; n++}} END {print n}' "$1"
}

# Runs a command $RUNS times (default 3) under /usr/bin/time -v, each time in
# a fresh scratch directory, and sets WALL (seconds) and CPU (user + system
# seconds) to the medians of the runs, BEST to the shortest wall time and RSS
# (kilobytes) to the largest peak. A shared virtual machine can vary by a
# third from one minute to the next; the median of a few runs, and the
# ratios between programs measured side by side, are the steadier figures.
runs=${RUNS:-3}
measure() {  # name scratch command...
    name=$1; scratch=$2; shift 2
    walls=""; cpus=""; RSS=0
    i=0
    while [ $i -lt "$runs" ]; do
        i=$((i + 1))
        rm -rf "$scratch"; mkdir -p "$scratch"
        ( cd "$scratch" && /usr/bin/time -v -o "$scratch.time" "$@" >"$scratch.out" 2>"$scratch.err" ) || {
            echo "$name failed, see $scratch.err" >&2; tail -5 "$scratch.err" >&2; }
        walls="$walls $(awk -F': ' '/Elapsed \(wall clock\)/ {n=split($2,p,":"); s=0; for(i=1;i<=n;i++) s=s*60+p[i]; print s}' "$scratch.time")"
        cpus="$cpus $(awk -F': ' '/User time|System time/ {s += $2} END {print s}' "$scratch.time")"
        rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$scratch.time")
        [ "$rss" -gt "$RSS" ] && RSS=$rss
    done
    WALL=$(echo $walls | tr ' ' '\n' | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
    BEST=$(echo $walls | tr ' ' '\n' | sort -n | head -1)
    CPU=$(echo $cpus | tr ' ' '\n' | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
}

report() {  # name lines
    rate=$(awk -v l="$2" -v w="$WALL" 'BEGIN {if (w <= 0) w = 0.01; printf "%d", l / w}')
    cpu_rate=$(awk -v l="$2" -v w="$CPU" 'BEGIN {if (w <= 0) w = 0.01; printf "%d", l / w}')
    best_rate=$(awk -v l="$2" -v w="$BEST" 'BEGIN {if (w <= 0) w = 0.01; printf "%d", l / w}')
    printf '%-16s %8s lines  wall %7.2f s %9s lines/s (best %s)  cpu %7.2f s %9s lines/s  peak %7.1f MiB\n' \
        "$1" "$2" "$WALL" "$rate" "$best_rate" "$CPU" "$cpu_rate" "$(awk -v k="$RSS" 'BEGIN {print k / 1024}')"
    LAST_RATE=$rate
    LAST_CPU_RATE=$cpu_rate
}

ratio() {  # label ours_wall ours_cpu
    awk -v a="$2" -v b="$LAST_RATE" -v c="$3" -v d="$LAST_CPU_RATE" -v n="$1" \
        'BEGIN {printf "    %s: %.2f (wall), %.2f (cpu)\n", n, a / b, c / d}'
}

echo "== results (2 cores; median of $runs runs of wall clock and user+system CPU time; peak resident memory)"
echo "    load average: $(cut -d' ' -f1-3 /proc/loadavg)"
measure corvalist-1m "$out/run-1m" "$bin" "$log1"
report "corvalist 1M" 1000000
ours1=$LAST_RATE
ours1_cpu=$LAST_CPU_RATE
grep -h 'records' "$out/run-1m.out" | tail -1 | sed 's/^/    timing line: /'

if [ $skip5 -eq 0 ]; then
    echo "    distinct URLs in the 5M log: $(distinct_urls "$log5")"
    measure corvalist-5m "$out/run-5m" "$bin" "$log5"
    report "corvalist 5M" 5000000
    ours5=$LAST_RATE
    ours5_cpu=$LAST_CPU_RATE
    grep -h 'records' "$out/run-5m.out" | tail -1 | sed 's/^/    timing line: /'
    awk -v a="$ours5" -v b="$ours1" -v c="$ours5_cpu" -v d="$ours1_cpu" \
        'BEGIN {printf "    5M rate / 1M rate: %.2f (wall), %.2f (cpu)\n", a / b, c / d}'
fi

if command -v analog >/dev/null 2>&1; then
    measure analog-1m "$out/analog-1m" analog -G +g/dev/null "+CLOGFILE $log1" \
        "+COUTFILE $out/analog-1m/report.html" "+CLOGFORMAT COMBINED" "+CCACHEOUTFILE none"
    report "analog 1M" 1000000
    ratio "corvalist / analog" "$ours1" "$ours1_cpu"
fi
if command -v goaccess >/dev/null 2>&1; then
    measure goaccess-1m "$out/goaccess-1m" goaccess "$log1" --no-global-config \
        --log-format=COMBINED -o "$out/goaccess-1m/report.html"
    report "goaccess 1M" 1000000
    ratio "corvalist / goaccess" "$ours1" "$ours1_cpu"
fi
