#!/bin/sh
# Installs the build into a throwaway DESTDIR and checks the tree.
set -eu
build=$1
dest=$(mktemp -d /tmp/tolvin-install-XXXXXX)
trap 'rm -rf "$dest"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

DESTDIR=$dest cmake --install "$build" --prefix /usr >/dev/null

expected="/etc/init.d/tolvind
/lib/systemd/system/tolvind.service
/lib/systemd/system/tolvind@.service
/lib/systemd/system/tolvinstat.socket
/lib/systemd/system/tolvinstat@.service
/opt/tolvin/bin/tolvind
/opt/tolvin/bin/tolvinstat
/opt/tolvin/etc/settings
/usr/share/doc/tolvind/examples/prometheus.yml
/usr/share/doc/tolvind/examples/snmpd.openwrt
/usr/share/doc/tolvind/examples/tolvin-failover
/usr/share/doc/tolvind/examples/tolvin.json
/usr/share/doc/tolvind/examples/tolvin.rules.yml
/usr/share/doc/tolvind/examples/tolvinstat.cgi
/usr/share/doc/tolvind/examples/tolvinstat.conf
/usr/share/doc/tolvind/examples/tolvinstat.cron
/usr/share/doc/tolvind/examples/tolvinstat.inetd
/usr/share/doc/tolvind/examples/tolvinstat.xinetd
/usr/share/man/man1/tolvinstat.1
/usr/share/man/man8/tolvind.8"
found=$(cd "$dest" && find . -type f | sed 's|^\.||' | sort)
[ "$found" = "$expected" ] || fail "installed files:
$found"

for program in /opt/tolvin/bin/tolvind /opt/tolvin/bin/tolvinstat /etc/init.d/tolvind; do
    [ -x "$dest$program" ] || fail "$program is not executable"
done
sh -n "$dest/etc/init.d/tolvind" || fail "init script does not parse"
"$dest/opt/tolvin/bin/tolvinstat" --help | grep -q -- "--prometheus" || fail "tolvinstat --help"

unit="$dest/lib/systemd/system/tolvind.service"
for line in "Type=simple" "Restart=on-failure" "RestartSec=10" "exec /opt/tolvin/bin/tolvind -c"; do
    grep -qF "$line" "$unit" || fail "unit lacks $line"
done

socket="$dest/lib/systemd/system/tolvinstat.socket"
for line in "ListenStream=8493" "Accept=yes"; do
    grep -qxF "$line" "$socket" || fail "socket unit lacks $line"
done
grep -q "^WantedBy=sockets.target" "$socket" || fail "socket unit not installable"

keys=$(grep -c '^MOD_TOLVIN_[A-Z0-9]*=' "$dest/opt/tolvin/etc/settings")
[ "$keys" = 76 ] || fail "sample settings hold $keys keys"

# A second install keeps the settings an operator wrote.
echo 'MOD_TOLVIN_IPADDR="198.51.100.7"' > "$dest/opt/tolvin/etc/settings"
DESTDIR=$dest cmake --install "$build" --prefix /usr >/dev/null
grep -q 198.51.100.7 "$dest/opt/tolvin/etc/settings" || fail "settings overwritten"

echo "install tree as expected"
