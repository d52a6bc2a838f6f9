#!/bin/sh
# The OpenWrt init script off the router: sourced by BusyBox ash with procd's
# instance functions stubbed, as rc.common would source it. Checks what it
# registers, and what the registered command line runs at a first start, a
# restart, a respawn and after a boot.
#   busybox ash tests/procd_init_test.sh packaging/openwrt/files/tolvind.init
set -eu
script=$1
work=$(mktemp -d /tmp/tolvin-procd-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# procd's functions: every parameter of the instance, one line each, its
# words in brackets; the command's words are kept to be run.
procd_open_instance() { : > "$work/instance"; }
procd_close_instance() { :; }
procd_set_param() {
    for word in "$@"; do printf '[%s]' "$word"; done >> "$work/instance"
    echo >> "$work/instance"
    if [ "$1" = command ]; then
        [ $# = 4 ] || fail "the command has $(($# - 1)) words"
        command_1=$2 command_2=$3 command_3=$4
    fi
}

# shellcheck source=/dev/null
. "$script"
[ "$USE_PROCD" = 1 ] || fail "USE_PROCD is not 1"
[ "$PROG" = /opt/tolvin/bin/tolvind ] || fail "PROG is $PROG"
[ "$MARKER" = /var/run/tolvind.ran ] || fail "MARKER is $MARKER"
# The test's own daemon and paths.
PROG=$work/tolvind
MARKER=$work/run/tolvind.ran
TZ_FILE=$work/TZ
mkdir "$work/run"
cat > "$PROG" <<STUB
#!/bin/sh
for word in "\$@"; do printf '[%s]' "\$word"; done > "$work/argv"
STUB
chmod +x "$PROG"

# Runs what procd runs for the registered instance; prints the daemon's words.
run_instance() {
    if [ "$command_1" != /bin/sh ] || [ "$command_2" != -c ]; then
        fail "command $command_1 $command_2"
    fi
    rm -f "$work/argv"
    busybox sh -c "$command_3"
    cat "$work/argv"
}

start_service
first=$(cat "$work/instance")
expected="[command][/bin/sh][-c][if [ -e '$MARKER' ]; then exec '$PROG' -c; fi; : > '$MARKER'; exec '$PROG']
[respawn][3600][10][0]"
[ "$first" = "$expected" ] || fail "registered:
$first"
[ "$(run_instance)" = "" ] || fail "the first start after a boot passed $(cat "$work/argv")"
[ -e "$MARKER" ] || fail "no marker after the first start"

# /etc/init.d/tolvind restart: the same instance again, which continues.
start_service
[ "$(cat "$work/instance")" = "$first" ] || fail "a restart registered another instance"
[ "$(run_instance)" = "[-c]" ] || fail "a restart passed $(cat "$work/argv")"

# procd respawns the daemon with the command line registered at start.
[ "$(run_instance)" = "[-c]" ] || fail "a respawn passed $(cat "$work/argv")"

# A boot empties /var/run.
rm -f "$MARKER"
[ "$(run_instance)" = "" ] || fail "the first start after the next boot passed $(cat "$work/argv")"

# The router's zone from /etc/TZ.
echo "CET-1CEST,M3.5.0,M10.5.0/3" > "$TZ_FILE"
start_service
grep -qxF "[env][TZ=CET-1CEST,M3.5.0,M10.5.0/3]" "$work/instance" || fail "no TZ: $(cat "$work/instance")"

echo "procd init script as expected"
