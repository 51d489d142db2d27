#!/bin/sh
# Runs the package's logrotate hook (debian/httpd-prerotate) under the real
# logrotate, with a scratch configuration laid out like the apache2 and nginx
# packages' own (sharedscripts, a prerotate that runs every program of an
# httpd-prerotate directory, notifempty, delaycompress), and checks that an
# incremental pass is made before the rotation and that nothing the analyser
# does can stop the rotation or its postrotate action: an empty log, a log
# without one valid record, a missing program, a pass that hangs.
#
#   scripts/check-logrotate.sh ANALYSER [REAL_LOG]
#
# REAL_LOG is a combined-format log to rotate (copied into the scratch
# directory; the original is only read). Prints "logrotate hook ok" and
# exits 0, names each fault and exits 1, or exits 77 when logrotate is
# missing.
set -u

[ $# -ge 1 ] || { echo "usage: $0 ANALYSER [REAL_LOG]" >&2; exit 2; }
command -v logrotate >/dev/null 2>&1 || command -v /usr/sbin/logrotate >/dev/null 2>&1 ||
    { echo "logrotate is not installed" >&2; exit 77; }
PATH=$PATH:/usr/sbin
analyser=$(readlink -f "$1")
real_log=${2:-}
root=$(cd "$(dirname "$0")/.." && pwd)
hook=$root/debian/httpd-prerotate
work=$(mktemp -d "${TMPDIR:-/tmp}/corvalist-logrotate.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
faults=0
fault() { echo "FAULT ($case_name): $*" >&2; faults=$((faults + 1)); }

export TZ=UTC LC_ALL=C SOURCE_DATE_EPOCH=1700000000

# One case: a fresh scratch tree, the logs as given, logrotate -f once.
#   run_case NAME PREROTATE ANALYSER TIMEOUT
# Before it, the caller fills $work/$1.access and $work/$1.error.
run_case() {
    case_name=$1
    d=$work/$1
    mkdir -p "$d/log" "$d/stats" "$d/httpd-prerotate"
    mv "$work/$1.access" "$d/log/access.log"
    mv "$work/$1.error" "$d/log/error.log"
    install -m 755 "$hook" "$d/httpd-prerotate/corvalist"
    cat >"$d/default" <<DEFAULTS
PREROTATE=$2
CORVALIST=$3
CORVALIST_ARGS="-q -c $d/site.conf"
PREROTATE_TIMEOUT=$4
DEFAULTS
    cat >"$d/site.conf" <<SITE
LogFile    $d/log/access.log
OutputDir  $d/stats
HostName   www.example.org
SITE
    cat >"$d/logrotate.conf" <<ROTATE
$d/log/access.log $d/log/error.log {
	daily
	missingok
	rotate 14
	compress
	delaycompress
	notifempty
	create 640
	sharedscripts
	prerotate
		if [ -d $d/httpd-prerotate ]; then
			CORVALIST_DEFAULTS=$d/default run-parts $d/httpd-prerotate
		fi
	endscript
	postrotate
		touch $d/postrotate-ran
	endscript
}
ROTATE
    chmod 644 "$d/logrotate.conf"
    start=$(date +%s)
    logrotate -f -s "$d/state" "$d/logrotate.conf" >"$d/logrotate.out" 2>&1
    lr_status=$?
    elapsed=$(($(date +%s) - start))
    [ "$lr_status" = 0 ] || { fault "logrotate exited $lr_status:"; cat "$d/logrotate.out" >&2; }
    [ -e "$d/log/error.log.1" ] || fault "error.log was not rotated"
    [ -e "$d/postrotate-ran" ] || fault "the postrotate action did not run"
}

# 1. A real log and an error log: the pass counts the log before it moves.
if [ -n "$real_log" ] && [ -r "$real_log" ]; then
    cp "$real_log" "$work/real.access"
    echo "[error] something" >"$work/real.error"
    run_case real yes "$analyser" 600
    [ -e "$d/log/access.log.1" ] || fault "access.log was not rotated"
    [ -s "$d/log/access.log" ] && fault "a fresh access.log was not created"
    [ -f "$d/stats/corvalist.current" ] || fault "no incremental state was written"
    [ -f "$d/stats/index.html" ] || fault "no summary index was written"
    ls "$d/stats"/usage_*.html >/dev/null 2>&1 || fault "no monthly page was written"
    [ -s "$d/logrotate.out" ] && { fault "the hook printed something:"; cat "$d/logrotate.out" >&2; }
    # The records counted are the rotated log's: a second pass over it adds nothing.
    (cd / && "$analyser" -q -p -c "$d/site.conf" "$d/log/access.log.1" >/dev/null 2>&1)
    echo "$?" >"$d/second.status"
    [ "$(cat "$d/second.status")" = 0 ] || fault "a second pass over the rotated log failed"
fi

# 2. An empty access log (not rotated: notifempty) beside a busy error log:
#    the pass answers "No valid records found!" with status 1, quietly.
: >"$work/empty.access"
echo "[error] something" >"$work/empty.error"
run_case empty yes "$analyser" 600
[ -e "$d/log/access.log.1" ] && fault "the empty access.log was rotated"
[ -s "$d/logrotate.out" ] && { fault "the hook reported an empty log:"; cat "$d/logrotate.out" >&2; }

# 3. A log without one valid record: status 1 and a message, and the
#    rotation still goes on.
echo "no log line at all" >"$work/bad.access"
echo "[error] something" >"$work/bad.error"
run_case bad yes "$analyser" 600
[ -e "$d/log/access.log.1" ] || fault "access.log was not rotated"
grep -q "corvalist prerotate pass failed (status 1)" "$d/logrotate.out" ||
    fault "the failed pass was not reported"

# 4. The program removed (the package removed, its hook kept until purge).
echo "line" >"$work/gone.access"
echo "[error] something" >"$work/gone.error"
run_case gone yes "$work/no-such-program" 600
[ -e "$d/log/access.log.1" ] || fault "access.log was not rotated"

# 5. A pass that hangs is stopped after PREROTATE_TIMEOUT seconds.
printf '#!/bin/sh\nsleep 60\n' >"$work/hanging-program"
chmod 755 "$work/hanging-program"
echo "line" >"$work/hang.access"
echo "[error] something" >"$work/hang.error"
run_case hang yes "$work/hanging-program" 1
[ -e "$d/log/access.log.1" ] || fault "access.log was not rotated"
[ "$elapsed" -lt 30 ] || fault "the rotation waited $elapsed seconds"
grep -q "stopped after 1 seconds" "$d/logrotate.out" || fault "the stopped pass was not reported"

# 6. PREROTATE=no (the default): nothing runs, the rotation goes on.
echo "line" >"$work/off.access"
echo "[error] something" >"$work/off.error"
run_case off no "$analyser" 600
[ -e "$d/log/access.log.1" ] || fault "access.log was not rotated"
[ -z "$(ls "$d/stats")" ] || fault "the hook ran although PREROTATE=no"

if [ "$faults" -ne 0 ]; then
    echo "$faults fault(s) in the logrotate hook" >&2
    exit 1
fi
echo "logrotate hook ok"
