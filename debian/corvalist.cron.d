# Corvalist from cron, instead of the systemd timer (systemctl enable --now
# corvalist.timer). Remove the "#" of one line to run an incremental pass
# with the settings of /etc/uk-corvalist.conf; use one of cron and the timer,
# not both.
#
# Every hour at a quarter past:
#15 * * * *	root	[ -x /usr/bin/corvalist ] && cd / && /usr/bin/corvalist -q
#
# Once a day at 04:30:
#30 4 * * *	root	[ -x /usr/bin/corvalist ] && cd / && /usr/bin/corvalist -q
