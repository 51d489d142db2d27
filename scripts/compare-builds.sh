#!/bin/sh
# Runs two builds of the analyser over the same inputs and compares everything
# they leave behind: every output tree (pages, graphs, dumps, history, state),
# standard output, standard error and the exit status. A change that must not
# alter behaviour passes when this prints "identical".
#
#   scripts/compare-builds.sh OLD_BINARY NEW_BINARY [WORK_DIR]
#
# Inputs: every real log under $REALDATA (default ../shared/realdata beside
# the source), each read with its own log type, plus the end-to-end fixtures
# and a gzip and a bzip2 copy of one log of each type. Settings: the
# defaults; incremental mode run twice (the second run resumes the first's
# state over the same log); a configuration that turns everything on; and
# -v -d (the one-thread pass). Extra arguments for both builds can be given
# in EXTRA (for example EXTRA="-c my.conf"); BIGLOG names one more (large)
# common-format log to add. The timing line's seconds and
# rate are masked; everything else is compared byte for byte.
set -eu

[ $# -ge 2 ] || { echo "usage: $0 OLD_BINARY NEW_BINARY [WORK_DIR]" >&2; exit 2; }
old=$(readlink -f "$1")
new=$(readlink -f "$2")
root=$(cd "$(dirname "$0")/.." && pwd)
work=${3:-$(mktemp -d /tmp/corvalist-compare.XXXXXX)}
realdata=${REALDATA:-$root/../shared/realdata}
[ -d "$realdata" ] || { echo "no real logs at $realdata (set REALDATA)" >&2; exit 2; }

export TZ=UTC LC_ALL=C SOURCE_DATE_EPOCH=1700000000
rm -rf "$work"
mkdir -p "$work/in"

# log-type:path pairs
inputs=""
add() { inputs="$inputs $1:$2"; }
for f in "$realdata"/apache/*; do add clf "$f"; done
for f in "$realdata"/squid/*; do add squid "$f"; done
for f in "$realdata"/w3c/*; do add w3c "$f"; done
for f in "$realdata"/xferlog/*; do add ftp "$f"; done
add ftp "$root/tests/data/e2e/ftp.xferlog"
add squid "$root/tests/data/e2e/proxy.log"
add w3c "$root/tests/data/e2e/w3c.log"
add clf "$root/tests/data/report/xss.log"
# A large generated log, when named (for example bench/out/bench-1m.log).
[ -n "${BIGLOG:-}" ] && add clf "$(readlink -f "$BIGLOG")"
for pair in clf:apache/ccsite-2001-03.log squid:squid/linuc2-2018.log \
            w3c:w3c/waikolai-iis70-u_ex091107.log ftp:xferlog/webtct-2016.xferlog; do
    type=${pair%%:*}; f=$realdata/${pair#*:}; b=$(basename "$f")
    gzip -c "$f" >"$work/in/$b.gz"; add "$type" "$work/in/$b.gz"
    bzip2 -c "$f" >"$work/in/$b.bz2"; add "$type" "$work/in/$b.bz2"
done

cat >"$work/in/full.conf" <<'EOF'
HostName       test.example
AllSites       yes
AllURLs        yes
AllReferrers   yes
AllAgents      yes
AllSearchStr   yes
AllUsers       yes
DumpPath       dumps
DumpHeader     yes
DumpSites      yes
DumpURLs       yes
DumpReferrers  yes
DumpAgents     yes
DumpUsers      yes
DumpSearchStr  yes
GroupSite      *.com  .com
GroupSite      *.net  .net
GroupURL       /images/*  Images
GroupURL       *.php  PHP
GroupReferrer  *google*  Google
GroupAgent     Mozilla*  Mozilla
GroupAgent     *bot*  Bots
GroupUser      a*  A-users
GroupDomains   1
HideURL        *.gif
HideURL        *.png
HideReferrer   *localhost*
HideAgent      *curl*
MangleAgents   3
LinkReferrer   yes
UseHTTPS       yes
HTAccess       yes
TopSites       5
TopURLs        5
TopKSites      3
TopKURLs       3
TopEntry       4
TopExit        4
TopSearch      3
TopUsers       2
TopAgents      4
TopReferrers   4
TopCountries   5
IndexMonths    120
GraphMonths    72
GraphLines     5
Incremental    yes
EOF

# case name, then the arguments that follow "-o DIR" for both builds
run_case() {  # build-label binary case-name args...
    label=$1; bin=$2; name=$3; shift 3
    dir="$work/$label/$name"
    mkdir -p "$dir/out/dumps"
    (cd "$dir" && "$bin" -o out "$@" >stdout 2>stderr </dev/null; echo $? >status)
    sed -E -i 's/ in [0-9]+ (seconds|sec)(, [0-9]+\/sec)?$/ in N seconds/' "$dir/stdout"
}

n=0
for pair in $inputs; do
    type=${pair%%:*}; f=${pair#*:}
    n=$((n + 1))
    base=$(printf '%03d-%s' "$n" "$(basename "$f")")
    for label in old new; do
        eval bin=\$$label
        # shellcheck disable=SC2086
        run_case "$label" "$bin" "$base.default" -n test.example -F "$type" ${EXTRA:-} "$f"
        run_case "$label" "$bin" "$base.incr" -n test.example -p -F "$type" ${EXTRA:-} "$f"
        # the second incremental run resumes the first one's state
        (cd "$work/$label/$base.incr" && "$bin" -o out -n test.example -p -F "$type" ${EXTRA:-} "$f" \
            >stdout2 2>stderr2 </dev/null; echo $? >status2)
        sed -E -i 's/ in [0-9]+ (seconds|sec)(, [0-9]+\/sec)?$/ in N seconds/' "$work/$label/$base.incr/stdout2"
        run_case "$label" "$bin" "$base.full" -c "$work/in/full.conf" -F "$type" ${EXTRA:-} "$f"
        run_case "$label" "$bin" "$base.debug" -n test.example -v -d -F "$type" ${EXTRA:-} "$f"
    done
done

if diff -r "$work/old" "$work/new" >"$work/diff.txt" 2>&1; then
    echo "identical: $n inputs x 4 settings ($work)"
else
    echo "DIFFERENT: see $work/diff.txt" >&2
    head -40 "$work/diff.txt" >&2
    exit 1
fi
