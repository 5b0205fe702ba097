#!/usr/bin/env bash
# Builds the native package and takes it through its life on a machine that
# runs systemd, as an administrator would: install, a site config from the
# example as the README has it, an instance of m520s-monitor@ against the
# installed simulator (ready, watchdog, a quiet journal, measured), an
# upgrade to a higher version while it runs, remove, purge. The machine is a
# container booted from an overlay of this one (scripts/systemd-container.sh),
# so nothing here is touched. Needs root.
# Usage: scripts/package-test.sh [--deb FILE] [--journal-seconds N]
set -euo pipefail
cd "$(dirname "$0")/.."

deb=""
journal_s=60
while [ $# -gt 0 ]; do
    case "$1" in
        --deb) [ $# -ge 2 ] || { echo "package-test: --deb needs a file" >&2; exit 2; }; deb=$2; shift ;;
        --journal-seconds) [ $# -ge 2 ] || { echo "package-test: --journal-seconds needs N" >&2; exit 2; }; journal_s=$2; shift ;;
        -h|--help) echo "usage: scripts/package-test.sh [--deb FILE] [--journal-seconds N]"; exit 0 ;;
        *) echo "package-test: unknown argument '$1'" >&2; exit 2 ;;
    esac
    shift
done
[ "$(id -u)" -eq 0 ] || { echo "package-test: needs root (a container, mounts)" >&2; exit 2; }
started=$(date +%s)

if [ -z "$deb" ]; then
    bash scripts/build-deb.sh native
    deb=$(ls build-deb/native/m520s_*_"$(dpkg --print-architecture)".deb)
fi
deb=$(readlink -f "$deb")
echo "package-test: package ready after $(($(date +%s) - started)) s"

passed=0
failures=0
pass() { echo "ok   $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1" >&2; failures=$((failures + 1)); }
check() { local what=$1; shift; if "$@"; then pass "$what"; else fail "$what"; fi; }

work=$(mktemp -d /tmp/m520s-package-test.XXXXXX)
# shellcheck source=scripts/systemd-container.sh
source scripts/systemd-container.sh
cleanup() {
    container_stop
    rm -rf "$work"
}
trap cleanup EXIT

check "lintian --pedantic: no error, no warning" lintian --pedantic --fail-on error,warning "$deb"

# The upgrade: the same build under a higher version.
version=$(dpkg-deb -f "$deb" Version)
next="$version+1"
dpkg-deb -R "$deb" "$work/next"
sed -i "s/^Version: .*/Version: $next/" "$work/next/DEBIAN/control"
dpkg-deb -b -Zxz "$work/next" "$work/m520s-next.deb" >/dev/null

container_start "$work/ct"
cp "$deb" "$work/ct/root/root/m520s.deb"
cp "$work/m520s-next.deb" "$work/ct/root/root/m520s-next.deb"
# This machine may have the package itself; the container starts without it.
in_ct dpkg --purge m520s >/dev/null 2>&1 || true
# A build machine may forbid maintainer scripts to start and stop services
# (policy-rc.d exiting 101, as container images do); the target does not.
in_ct rm -f /usr/sbin/policy-rc.d

ct() { in_ct sh -c "$1"; }
unit=m520s-monitor@ref.service
prop() { in_ct systemctl show -p "$1" --value "$unit"; }
rows() { in_ct sqlite3 /var/lib/m520s/ref.db 'SELECT COUNT(*) FROM history' 2>/dev/null || echo 0; }
wait_for() {  # seconds, description, shell condition inside
    local i
    for i in $(seq $(($1 * 5))); do ct "$3" && return 0; sleep 0.2; done
    return 1
}

# ---- install ----
in_ct dpkg -i /root/m520s.deb >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; fail "dpkg -i"; }
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
private=/usr/lib/$multiarch/m520s
unitfile=/lib/systemd/system/m520s-monitor@.service
for f in "$private/libm520s.so" "$private/libsmdhost.so" "$unitfile" /usr/share/doc/m520s/examples/example.json \
         /usr/share/man/man1/m520s-monitor.1.gz /usr/share/man/man1/m520s-sim.1.gz; do
    check "installed $f" ct "test -f $f"
done
check "no conffile and no example in /etc" ct "! test -e /etc/m520s && test -z \"\$(dpkg-query -W -f='\${Conffiles}' m520s)\""
check "system user m520s in group dialout, no login shell" \
    ct 'id -nG m520s | tr " " "\n" | grep -qx dialout && getent passwd m520s | grep -q ":/usr/sbin/nologin$"'
check "the unit's Documentation= resolves (man:m520s-monitor(1))" \
    ct "systemctl show -p Documentation --value m520s-monitor@x.service | grep -qx '\"man:m520s-monitor(1)\"' && man -w m520s-monitor >/dev/null"
check "the unit waits for no network" ct "! grep -q network-online $unitfile"
check "systemd-analyze verify accepts the unit" ct "systemd-analyze verify $unitfile"
# Exposure is 0 to 100 here (10 times the shown score); more than 20 means a hardening option was lost.
check "unit stays hardened (exposure <= 2.0)" ct "systemd-analyze security --offline=yes --threshold=20 $unitfile >/dev/null"
check "the programs resolve the host library by RUNPATH" \
    ct "ldd /usr/bin/m520s-monitor | grep -q /m520s/libsmdhost.so && ! ldd /usr/bin/m520s-monitor /usr/bin/m520s-sim $private/libm520s.so | grep -q 'not found'"

# ---- an instance against the installed simulator ----
# The simulator stands in for the controller on a pseudo-terminal; the
# drop-in lets the unit's device policy pass pseudo-terminals, as an
# administrator would for a line with another name.
in_ct systemd-run --quiet --unit=m520s-sim -p StandardOutput=file:/run/m520s-sim.out /usr/bin/m520s-sim --pty
wait_for 10 "pty line" 'grep -q "^pty: " /run/m520s-sim.out' || fail "m520s-sim --pty gave no pty line"
pty=$(in_ct sed -n 's/^pty: //p' /run/m520s-sim.out)
ct "chgrp m520s $pty && chmod g+rw $pty"
# As the README has it.
ct "install -d /etc/m520s && install -m 0640 -o root -g m520s /usr/share/doc/m520s/examples/example.json /etc/m520s/ref.json"
ct "sed -i 's|\"port\": \"[^\"]*\"|\"port\": \"$pty\"|' /etc/m520s/ref.json"
check "site config is 0640 root:m520s" ct '[ "$(stat -c %a:%U:%G /etc/m520s/ref.json)" = 640:root:m520s ]'
ct "mkdir -p /etc/systemd/system/$unit.d && printf '[Service]\nDeviceAllow=char-pts rw\n' > /etc/systemd/system/$unit.d/pty.conf"
check "systemctl enable --now $unit (Type=notify: returns once polling started)" \
    in_ct systemctl enable --now "$unit"
check "the instance is active and sent READY" ct "[ \"\$(systemctl show -p ActiveState --value $unit):\$(systemctl show -p StatusText --value $unit)\" = active:polling ]"
check "the instance stores cycles as m520s" wait_for 60 rows "[ \$(sqlite3 /var/lib/m520s/ref.db 'SELECT COUNT(*) FROM history' 2>/dev/null || echo 0) -ge 10 ]"
check "its database belongs to m520s" ct '[ "$(stat -c %U /var/lib/m520s/ref.db)" = m520s ]'

# ---- the journal, measured at the reference site without faults ----
sleep 10  # start-up lines are out
cursor=$(in_ct journalctl -u "$unit" -n 1 -o export --show-cursor | sed -n 's/^-- cursor: //p')
rows_a=$(rows)
sleep "$journal_s"
rows_b=$(rows)
in_ct journalctl -u "$unit" --after-cursor="$cursor" -o export >"$work/journal.export"
in_ct journalctl -u "$unit" --after-cursor="$cursor" -o cat >"$work/journal.txt"
in_ct journalctl -u "$unit" -o cat >"$work/journal-all.txt"
cycles=$(((rows_b - rows_a) / 5))
bytes=$(wc -c <"$work/journal.export")
per_hour=$((bytes * 3600 / journal_s))
echo "package-test: journal over ${journal_s}s of steady polling ($cycles cycles): $(wc -l <"$work/journal.txt") lines," \
     "$bytes bytes in journal export format, $((per_hour)) bytes/hour, $((per_hour * 24)) bytes/day;" \
     "start-up: $(wc -l <"$work/journal-all.txt") lines"
check "cycles went on while the journal was measured" test "$cycles" -ge 10
check "journal at most about 1 MB a day at the reference site" test $((per_hour * 24)) -le 1048576
check "the journal has the link coming up, with its priority" ct "journalctl -u $unit -o cat -p notice | grep -qx 'link up'"
check "no cycle lines in the journal" sh -c "! grep -q '\"event\"' '$work/journal-all.txt'"

# ---- the watchdog: a poll loop that stops is restarted ----
pid=$(prop MainPID)
restarts=$(prop NRestarts)
in_ct kill -STOP "$pid"
if wait_for 120 restart "[ \"\$(systemctl show -p NRestarts --value $unit)\" -gt $restarts ] && [ \"\$(systemctl show -p ActiveState --value $unit)\" = active ]"; then
    pass "watchdog restarted the stopped poll loop (pid $pid -> $(prop MainPID))"
else
    fail "watchdog: no restart of the stopped pid $pid ($(prop ActiveState), $(prop NRestarts) restarts)"
fi
check "systemd names the watchdog as the reason" ct "journalctl -u $unit -o cat | grep -q 'Watchdog timeout'"

# ---- upgrade while it runs ----
pid=$(prop MainPID)
before=$(rows)
in_ct dpkg -i /root/m520s-next.deb >"$work/upgrade.log" 2>&1 || { cat "$work/upgrade.log" >&2; fail "dpkg -i (upgrade)"; }
check "upgraded to $next" ct "[ \"\$(dpkg-query -W -f='\${Version}' m520s)\" = '$next' ]"
check "the instance was restarted on the new programs" ct "[ \"\$(systemctl show -p MainPID --value $unit)\" != $pid ] && systemctl is-active -q $unit"
check "it kept its database: rows before the upgrade are there, new ones come" \
    wait_for 60 rows "[ \$(sqlite3 /var/lib/m520s/ref.db 'SELECT COUNT(*) FROM history') -gt $((before + 10)) ] && [ \$(sqlite3 /var/lib/m520s/ref.db 'SELECT COUNT(*) FROM history WHERE id <= $before') -eq $before ]"

# ---- remove: the instance stops ----
in_ct dpkg -r m520s >"$work/remove.log" 2>&1 || { cat "$work/remove.log" >&2; fail "dpkg -r"; }
check "remove stopped the instance" ct "! systemctl is-active -q $unit && ! pgrep -u m520s >/dev/null"
check "remove keeps the databases and configs" ct "test -s /var/lib/m520s/ref.db && test -f /etc/m520s/ref.json"
in_ct systemctl stop m520s-sim.service

# ---- purge: nothing left ----
in_ct dpkg --purge m520s >"$work/purge.log" 2>&1 || { cat "$work/purge.log" >&2; fail "dpkg --purge"; }
check "purge leaves no files" ct "! test -e $private && ! test -e $unitfile && ! test -e /usr/bin/m520s-monitor && ! test -e /var/lib/m520s && ! test -e /etc/m520s && ! test -e /usr/share/doc/m520s"
check "purge leaves no enable links or drop-ins" ct "[ -z \"\$(find /etc/systemd -name 'm520s-monitor@*')\" ]"
check "no process of the user m520s" ct "! pgrep -u m520s >/dev/null"
check "systemd knows no instance any more" ct "[ -z \"\$(systemctl list-units --all --no-legend --plain 'm520s-monitor@*')\" ]"

echo "package-test: took $(($(date +%s) - started)) s"
echo "package-test: $passed passed, $failures failed"
[ $failures -eq 0 ]
