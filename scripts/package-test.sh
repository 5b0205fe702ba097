#!/usr/bin/env bash
# Builds the native package, installs it on this machine and checks it as an
# integrator would find it: files, conffile, system user, the unit accepted
# by systemd and hardened, the installed programs running against each other.
# Removes the package again, also on failure. Needs root (or sudo).
# Usage: scripts/package-test.sh [--deb FILE]
set -euo pipefail
cd "$(dirname "$0")/.."

deb=""
while [ $# -gt 0 ]; do
    case "$1" in
        --deb) [ $# -ge 2 ] || { echo "package-test: --deb needs a file" >&2; exit 2; }; deb=$2; shift ;;
        -h|--help) echo "usage: scripts/package-test.sh [--deb FILE]"; exit 0 ;;
        *) echo "package-test: unknown argument '$1'" >&2; exit 2 ;;
    esac
    shift
done

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

if [ -z "$deb" ]; then
    bash scripts/build-deb.sh native
    deb=$(ls build-deb/native/m520s_*.deb)
fi

failures=0
skips=0
pass() { echo "ok   $1"; }
fail() { echo "FAIL $1" >&2; failures=$((failures + 1)); }
skip() { echo "SKIP $1" >&2; skips=$((skips + 1)); }
check() { local what=$1; shift; if "$@"; then pass "$what"; else fail "$what"; fi; }

work=$(mktemp -d)
sim_pid=""
cleanup() {
    [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true
    $SUDO dpkg --purge m520s >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

$SUDO dpkg -i "$deb"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
private=/usr/lib/$multiarch/m520s
unit=/lib/systemd/system/m520s-monitor@.service

for f in "$private/libm520s.so" "$private/libsmdhost.so" /etc/m520s/example.json "$unit" \
         /usr/share/doc/m520s/README.md.gz; do
    check "installed $f" test -f "$f"
done
check "example config is a conffile" \
    sh -c "dpkg-query -W -f='\${Conffiles}' m520s | grep -q '^ */etc/m520s/example.json '"
check "system user m520s in group dialout" sh -c 'id -nG m520s | tr " " "\n" | grep -qx dialout'
check "m520s has no login shell" sh -c 'getent passwd m520s | grep -q ":/usr/sbin/nologin$"'
# Exposure is 0 to 100 here (10 times the shown score); more than 20 means a
# hardening option was lost.
check "unit stays hardened (exposure <= 2.0)" \
    sh -c "systemd-analyze security --offline=yes --threshold=20 '$unit' >/dev/null"
check "plug-in resolves its host library by RUNPATH" \
    sh -c "ldd '$private/libm520s.so' | grep -q '$private/libsmdhost.so'"

# The programs come from other folders of the tree; a tree that has them must
# ship them.
programs_in_tree=1
for d in monitor sim; do [ -f "$d/CMakeLists.txt" ] || programs_in_tree=0; done
if [ $programs_in_tree -eq 0 ]; then
    skip "m520s-monitor and m520s-sim are not part of this tree: systemd-analyze verify, --version and the live run not checked"
else
    # verify also wants the program ExecStart names.
    check "systemd-analyze verify accepts the unit" systemd-analyze verify "$unit"
    check "installed m520s-monitor --version" sh -c '/usr/bin/m520s-monitor --version | grep -q .'
    check "installed m520s-sim --version" sh -c '/usr/bin/m520s-sim --version | grep -q .'
    # ldd prints the RUNPATH's $ORIGIN form (/usr/bin/../lib/...), so match
    # the private folder's tail. The simulator links no host library at all.
    check "m520s-monitor resolves the host library by RUNPATH" \
        sh -c "ldd /usr/bin/m520s-monitor | grep -q '/m520s/libsmdhost.so' && ! ldd /usr/bin/m520s-monitor | grep -q 'not found'"
    check "m520s-sim resolves every library" sh -c "! ldd /usr/bin/m520s-sim | grep -q 'not found'"

    # As the service runs: the m520s user, the example config, the database in
    # the state folder; the simulator stands in for the controller.
    $SUDO install -d -o m520s -g m520s /var/lib/m520s
    $SUDO runuser -u m520s -- /usr/bin/m520s-sim --pty >"$work/sim.out" 2>"$work/sim.err" &
    sim_pid=$!
    for _ in $(seq 50); do grep -q '^pty: ' "$work/sim.out" && break; sleep 0.1; done
    pty=$(sed -n 's/^pty: //p' "$work/sim.out" | head -1)
    if [ -z "$pty" ]; then
        fail "m520s-sim --pty gave no pty line: $(cat "$work/sim.err")"
    else
        if $SUDO runuser -u m520s -- timeout 60 /usr/bin/m520s-monitor --config /etc/m520s/example.json \
                --port "$pty" --db /var/lib/m520s/package-test.db --json --cycles 2 >"$work/run.out" 2>"$work/run.err"; then
            pass "installed monitor ran two cycles against the installed simulator as m520s"
        else
            fail "installed monitor against the simulator: $(tail -3 "$work/run.err")"
        fi
        check "two cycle events in its JSON lines" \
            test "$(grep -c '"event" *: *"cycle"' "$work/run.out" || true)" -eq 2
        check "its database lies in the state folder" test -s /var/lib/m520s/package-test.db
    fi
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=""
fi

$SUDO dpkg --purge m520s
check "purge removes the programs, the unit and the state" \
    sh -c "! test -e '$private' && ! test -e '$unit' && ! test -e /var/lib/m520s && ! test -e /usr/bin/m520s-monitor"

echo "package-test: $failures failed, $skips skipped"
[ $failures -eq 0 ]
