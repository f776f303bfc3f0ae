#!/usr/bin/env bash
# Builds the two Debian packages, installs them on this machine with apt-get, starts the
# service with its default configuration (through systemd where it runs; otherwise the
# unit's ExecStart line with its EnvironmentFile, as the service's user, in its working
# directory), calls it, opens the screen on it with the installed host, then purges both
# and checks that only the data and the user owning it are left. The machine ends as it
# started: the test refuses to run where the packages, the user or the folders already
# exist, and removes the data folder and the user it made itself.
# Exit 77 (skipped) when it cannot run here: not root, no apt-get, or an installation
# already present.
set -uo pipefail
build=$(cd "${1:?usage: package-test.sh BUILD_DIR [SHARED_DATA_DIR]}" && pwd)
shared=${2:-}
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }
step() { echo "--- $*"; }

[ "$(id -u)" -eq 0 ] || skip "installing packages needs root"
for tool in apt-get dpkg dpkg-deb cpack setpriv getent; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not available"
done
for p in kmp-appserver kmp-host; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'installed'; then
        skip "$p is installed on this machine; a test does not touch a real installation"
    fi
done
getent passwd kmp >/dev/null && skip "a user kmp exists already"
[ -e /var/lib/kmp ] && skip "/var/lib/kmp exists already (real data?)"
[ -e /etc/kmp ] && skip "/etc/kmp exists already"

work=$(mktemp -d /tmp/kmp-package-test.XXXXXX)
server_pid=
installed=0
cleanup() {
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill -TERM "$server_pid" 2>/dev/null
        wait "$server_pid" 2>/dev/null
    fi
    if [ "$installed" = 1 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq -o DPkg::Lock::Timeout=300 kmp-appserver kmp-host \
            >/dev/null 2>&1 || true
    fi
    # The data folder and the user did not exist before the test (checked above): they go
    # too, as an administrator would remove them by hand.
    rm -rf /var/lib/kmp
    getent passwd kmp >/dev/null && deluser --system kmp >/dev/null 2>&1
    getent group kmp >/dev/null && delgroup --system kmp >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

step "building the packages with CPack"
(cd "$build" && cpack -G DEB -B "$work/packages") >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack failed"; }
server_deb=$(ls "$work"/packages/kmp-appserver_*.deb 2>/dev/null | head -1)
host_deb=$(ls "$work"/packages/kmp-host_*.deb 2>/dev/null | head -1)
[ -f "$server_deb" ] || fail "no kmp-appserver package in $work/packages"
[ -f "$host_deb" ] || fail "no kmp-host package in $work/packages"

step "package contents"
expect_file() { # DEB PATH
    dpkg-deb -c "$1" | awk '{print $6}' | grep -qx ".$2" || fail "$(basename "$1") lacks $2"
}
for f in /usr/bin/kmp-appserver /usr/bin/kmp-call /usr/lib/systemd/system/kmp-appserver.service /etc/kmp/appserver.conf; do
    expect_file "$server_deb" "$f"
done
for f in /usr/lib/kmp/bin/kmp-host /usr/lib/kmp/lib/libPKG_KMP12800.so /usr/bin/kmp-host /usr/bin/kmp-rtf \
         /usr/share/applications/kmp-host.desktop /usr/lib/kmp/help/11112800.html; do
    expect_file "$host_deb" "$f"
done
dpkg-deb -f "$server_deb" Depends | grep -q libqt6sql6-sqlite || fail "kmp-appserver does not depend on the SQLite driver"
dpkg-deb -f "$host_deb" Depends | grep -q fonts-urw-base35 || fail "kmp-host does not depend on the metafile renderer's fonts"
dpkg-deb -f "$server_deb" Depends | grep -q libqt6core6 || fail "kmp-appserver lacks its library dependencies"
dpkg-deb -I "$server_deb" conffiles | grep -qx /etc/kmp/appserver.conf || fail "appserver.conf is not a conffile"

step "apt-get install --no-install-recommends"
# Many clinics install without recommends: what the packages need must be in Depends.
installed=1
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=300 \
    "$server_deb" "$host_deb" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "apt-get install failed"; }
grep -i "home dir.*can't be accessed" "$work/install.log" && fail "adduser could not reach the service's home folder"

getent passwd kmp >/dev/null || fail "no system user kmp"
[ "$(getent passwd kmp | cut -d: -f7)" = /usr/sbin/nologin ] || fail "user kmp can log in"
[ "$(stat -c '%U:%G %a' /var/lib/kmp)" = "kmp:kmp 750" ] || fail "/var/lib/kmp is $(stat -c '%U:%G %a' /var/lib/kmp)"
[ "$(stat -c '%U:%G %a' /etc/kmp/appserver.conf)" = "root:kmp 640" ] || fail "appserver.conf is $(stat -c '%U:%G %a' /etc/kmp/appserver.conf)"
unit=/usr/lib/systemd/system/kmp-appserver.service
for setting in User=kmp ProtectSystem=strict NoNewPrivileges=yes StateDirectory=kmp PrivateTmp=yes \
               EnvironmentFile=/etc/kmp/appserver.conf StandardError=journal; do
    grep -qx "$setting" "$unit" || fail "the unit lacks $setting"
done
if command -v systemd-analyze >/dev/null 2>&1; then
    systemd-analyze verify "$unit" >"$work/verify.log" 2>&1 || { cat "$work/verify.log"; fail "systemd-analyze verify"; }
fi
kmp-appserver --help >/dev/null || fail "kmp-appserver --help"
QT_QPA_PLATFORM=offscreen kmp-host --help >/dev/null || fail "kmp-host --help"
kmp-rtf --help >/dev/null || fail "kmp-rtf --help"
if [ -f "$shared/rtf/rtfpipe__rtf2xml__old3_from_web.rtf" ]; then
    # A note holding one Windows metafile (a chart), drawn by the installed station.
    python3 - "$shared/rtf/rtfpipe__rtf2xml__old3_from_web.rtf" "$work/chart.rtf" <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
at = data.index(b'{\\pict')
open(sys.argv[2], 'wb').write(b'{\\rtf1 ' + data[at:data.index(b'}', at) + 1] + b'}')
PY
    kmp-rtf pictures "$work/chart.rtf" >"$work/pictures.out" 2>&1 || { cat "$work/pictures.out"; fail "kmp-rtf pictures"; }
    grep -q '^1: .* desenhada$' "$work/pictures.out" || { cat "$work/pictures.out"; fail "the installed station does not draw a metafile"; }
else
    echo "the shared sample notes are not here: the metafile drawing is not checked"
fi

step "starting the service"
if [ -d /run/systemd/system ]; then
    for _ in $(seq 1 100); do
        systemctl is-active --quiet kmp-appserver && break
        sleep 0.1
    done
    systemctl is-active --quiet kmp-appserver || { journalctl -u kmp-appserver -n 50 --no-pager; fail "service not active"; }
    port=21280
    for _ in $(seq 1 100); do
        kmp-appserver status --server "127.0.0.1:$port" --timeout 1 >/dev/null && break
        sleep 0.1
    done
else
    # No systemd here: what it would run, as it would run it.
    exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
    [ -n "$exec_start" ] || fail "no ExecStart in the unit"
    set -a
    # shellcheck disable=SC1091
    . /etc/kmp/appserver.conf
    set +a
    # The default port may be taken by another server on this shared machine: then only
    # the port changes.
    if (exec 3<>/dev/tcp/127.0.0.1/21280) 2>/dev/null; then
        echo "port 21280 is taken here; listening on a free port instead"
        KMP_LISTEN=127.0.0.1:0
    fi
    eval "set -- $exec_start"
    (cd /var/lib/kmp && exec setpriv --reuid=kmp --regid=kmp --init-groups --no-new-privs -- "$@") >"$work/server.out" 2>"$work/server.err" &
    server_pid=$!
    port=
    for _ in $(seq 1 100); do
        port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$work/server.out" 2>/dev/null)
        [ -n "$port" ] && break
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    [ -n "$port" ] || { cat "$work/server.err"; fail "the service did not start"; }
fi

step "calling it on port $port"
kmp-appserver status --server "127.0.0.1:$port" >"$work/status.out" || { cat "$work/status.out"; fail "status"; }
grep -q "banco sqlite: esquema versão" "$work/status.out" || { cat "$work/status.out"; fail "status output"; }
kmp-call --server "127.0.0.1:$port" GetTipoLaudo '""' T >"$work/call.out" || { cat "$work/call.out"; fail "kmp-call"; }
grep -q CDTIPOLAUDO "$work/call.out" || fail "GetTipoLaudo did not answer a packet"
[ "$(stat -c '%U' /var/lib/kmp/kmp.db)" = kmp ] || fail "the database is not the service's"

step "opening a station on it"
# The installed host finds the installed module and its libraries on its own; a home of
# its own keeps its settings and cache off this machine's.
mkdir -p "$work/home"
HOME="$work/home" XDG_RUNTIME_DIR="$work/home" QT_QPA_PLATFORM=offscreen timeout 120 \
    kmp-host --server "127.0.0.1:$port" --module PKG_KMP12800 --branch 0001 --patient 000000000001 \
    --date 2026-12-07 --screenshot "$work/station.png" >"$work/station.out" 2>&1 \
    || { cat "$work/station.out"; fail "kmp-host did not open the screen"; }
grep -q "1 screen(s) open" "$work/station.out" || { cat "$work/station.out"; fail "the screen did not open"; }
[ -s "$work/station.png" ] || fail "no screenshot of the station"
if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid"
    wait "$server_pid" || fail "the service did not stop cleanly on SIGTERM"
    server_pid=
fi

step "apt-get purge"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq -o DPkg::Lock::Timeout=300 kmp-appserver kmp-host \
    >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "apt-get purge failed"; }
installed=0
for gone in /usr/bin/kmp-appserver /usr/bin/kmp-call /usr/bin/kmp-host /usr/bin/kmp-rtf /usr/lib/kmp "$unit" \
            /etc/kmp /usr/share/applications/kmp-host.desktop \
            /etc/systemd/system/multi-user.target.wants/kmp-appserver.service; do
    [ -e "$gone" ] || [ -L "$gone" ] && fail "$gone is still there after purge"
done
[ -f /var/lib/kmp/kmp.db ] || fail "purge removed the data"
# The data keeps its owner: the user stays, so the next system account cannot take its
# number and with it the patients' records.
getent passwd kmp >/dev/null || fail "purge removed the user kmp, owner of the data"
[ "$(stat -c '%U:%G %a' /var/lib/kmp/kmp.db)" = "kmp:kmp 600" ] || fail "the data is $(stat -c '%U:%G %a' /var/lib/kmp/kmp.db)"
adduser --system --no-create-home kmp-package-test-next >/dev/null 2>&1 || fail "adduser failed"
next_uid=$(id -u kmp-package-test-next)
deluser --system kmp-package-test-next >/dev/null 2>&1
[ "$next_uid" != "$(stat -c %u /var/lib/kmp/kmp.db)" ] || fail "the next system account took the data's owner number"
echo "PASS: installed, served a call, purged; the data was kept, with its owner"
