# A throw-away machine with systemd as its PID 1, for the package test:
# systemd-nspawn boots this machine's own installed system from an overlay
# whose writable layer is a tmpfs, so what the test installs, enables,
# writes and purges never reaches the real system. Private network: the
# container's services cannot take the host's ports. Sourced by
# scripts/package-test.sh; needs root and systemd-container.
#
#   container_start DIR   boot it (DIR: an empty scratch folder)
#   in_ct CMD...          run CMD inside, as root
#   container_stop        power it off and unmount everything

ct_dir=""
ct_nspawn=""
ct_leader=""

container_start() {
    ct_dir=$1
    local p
    for p in systemd-nspawn:systemd-container nsenter:util-linux /lib/systemd/systemd:systemd; do
        command -v "${p%%:*}" >/dev/null || { ct_refuse "${p%%:*} is missing (package ${p#*:}; scripts/install-deps.sh)"; return 1; }
    done
    mkdir -p "$ct_dir/layer"
    mount -t tmpfs -o size=4G,mode=0755 m520s-ct "$ct_dir/layer" ||
        { ct_refuse "cannot mount a tmpfs (not root, or no CAP_SYS_ADMIN in this container)"; return 1; }
    mkdir -p "$ct_dir/layer/upper" "$ct_dir/layer/work" "$ct_dir/root"
    mount -t overlay m520s-ct -o "lowerdir=/,upperdir=$ct_dir/layer/upper,workdir=$ct_dir/layer/work" "$ct_dir/root" ||
        { ct_refuse "cannot mount an overlay of / (no overlayfs here, or / is itself an overlay that refuses it)"; return 1; }
    # A machine of its own: journald refuses to link journals of a twin.
    systemd-id128 new > "$ct_dir/root/etc/machine-id"
    # Boot only what a service needs (journal, tmpfiles, basic.target), not
    # whatever this machine happens to have enabled.
    cat > "$ct_dir/root/etc/systemd/system/m520s-test.target" <<'EOF'
[Unit]
Description=m520s package test
Requires=basic.target
After=basic.target
AllowIsolate=yes
EOF
    systemd-nspawn --quiet --register=no --keep-unit --private-network -D "$ct_dir/root" \
        --boot systemd.unit=m520s-test.target >"$ct_dir/console.log" 2>&1 </dev/null &
    ct_nspawn=$!
    local i
    for i in $(seq 300); do
        ct_leader=$(cat "/proc/$ct_nspawn/task/$ct_nspawn/children" 2>/dev/null | awk '{ print $1 }')
        [ -n "$ct_leader" ] && [ "$(cat "/proc/$ct_leader/comm" 2>/dev/null)" = systemd ] && break
        ct_leader=""
        kill -0 "$ct_nspawn" 2>/dev/null || break
        sleep 0.2
    done
    if [ -z "$ct_leader" ]; then
        ct_refuse "systemd-nspawn did not boot it; its console says"
        tail -20 "$ct_dir/console.log" >&2
        return 1
    fi
    # systemctl needs the manager's socket, made a moment after it starts.
    for i in $(seq 300); do in_ct test -S /run/systemd/private 2>/dev/null && break; sleep 0.2; done
    local state
    state=$(timeout 180 nsenter -t "$ct_leader" -a systemctl is-system-running --wait 2>&1 || true)
    case "$state" in
        running|degraded) return 0 ;;
        *) ct_refuse "its systemd says '$state'"; tail -20 "$ct_dir/console.log" >&2; return 1 ;;
    esac
}

# This machine cannot boot a container: say so and why; the test fails.
ct_refuse() {
    echo "package-test: FAIL: no systemd container on this machine: $1." >&2
    echo "package-test: the package test needs a Debian machine where root may mount and run systemd-nspawn" \
         "(a VM, or a container started with --privileged)." >&2
}

in_ct() {
    nsenter -t "$ct_leader" -a -- "$@"
}

container_stop() {
    if [ -n "$ct_nspawn" ] && kill -0 "$ct_nspawn" 2>/dev/null; then
        [ -z "$ct_leader" ] || in_ct systemctl --no-block poweroff >/dev/null 2>&1 || true
        local i
        for i in $(seq 150); do kill -0 "$ct_nspawn" 2>/dev/null || break; sleep 0.2; done
        kill "$ct_nspawn" 2>/dev/null || true
        wait "$ct_nspawn" 2>/dev/null || true
    fi
    ct_nspawn=""
    ct_leader=""
    if [ -n "$ct_dir" ]; then
        umount "$ct_dir/root" 2>/dev/null || umount -l "$ct_dir/root" 2>/dev/null || true
        umount "$ct_dir/layer" 2>/dev/null || umount -l "$ct_dir/layer" 2>/dev/null || true
    fi
}
