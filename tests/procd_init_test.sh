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

# procd's functions: each instance opened, then its every parameter, one
# line each, its words in brackets; each instance's command is kept to be
# run (the default's as "default").
procd_open_instance() { echo "[instance][${1:-}]" >> "$work/instance"; current=${1:-default}; }
procd_close_instance() { :; }
procd_set_param() {
    for word in "$@"; do printf '[%s]' "$word"; done >> "$work/instance"
    echo >> "$work/instance"
    if [ "$1" = command ]; then
        [ $# = 4 ] || fail "the command has $(($# - 1)) words"
        if [ "$2" != /bin/sh ] || [ "$3" != -c ]; then fail "command $2 $3"; fi
        printf '%s' "$4" > "$work/command.$current"
    fi
}
register() { : > "$work/instance"; start_service; }

# shellcheck source=/dev/null
. "$script"
[ "$USE_PROCD" = 1 ] || fail "USE_PROCD is not 1"
[ "$PROG" = /opt/tolvin/bin/tolvind ] || fail "PROG is $PROG"
[ "$MARKER" = /var/run/tolvind.ran ] || fail "MARKER is $MARKER"
[ "$SETTINGS" = /opt/tolvin/etc/settings ] || fail "SETTINGS is $SETTINGS"
# The test's own daemon and paths.
PROG=$work/tolvind
MARKER=$work/run/tolvind.ran
TZ_FILE=$work/TZ
SETTINGS=$work/etc/settings
CHECK=$work/tolvinstat
mkdir "$work/run" "$work/etc"
cat > "$CHECK" <<STUB
#!/bin/sh
echo "[\${TOLVIN_INSTANCE:-}]\$*" >> "$work/checks"
STUB
chmod +x "$CHECK"
cat > "$PROG" <<STUB
#!/bin/sh
for word in "\$@"; do printf '[%s]' "\$word"; done > "$work/argv"
echo "\${TOLVIN_INSTANCE:-}" > "$work/instance_variable"
STUB
chmod +x "$PROG"

# Runs what procd runs for instance $1 (default: the default one) with the
# environment it registered; prints the daemon's words.
run_instance() {
    rm -f "$work/argv"
    env ${2:+"$2"} busybox sh -c "$(cat "$work/command.${1:-default}")"
    cat "$work/argv"
}

register
first=$(cat "$work/instance")
expected="[instance][]
[command][/bin/sh][-c][if [ -e '$MARKER' ]; then exec '$PROG' -c; fi; : > '$MARKER'; exec '$PROG']
[respawn][3600][10][0]"
[ "$first" = "$expected" ] || fail "registered:
$first"
[ "$(run_instance)" = "" ] || fail "the first start after a boot passed $(cat "$work/argv")"
[ -e "$MARKER" ] || fail "no marker after the first start"

# /etc/init.d/tolvind restart: the same instance again, which continues.
register
[ "$(cat "$work/instance")" = "$first" ] || fail "a restart registered another instance"
[ "$(run_instance)" = "[-c]" ] || fail "a restart passed $(cat "$work/argv")"

# procd respawns the daemon with the command line registered at start.
[ "$(run_instance)" = "[-c]" ] || fail "a respawn passed $(cat "$work/argv")"

# A boot empties /var/run.
rm -f "$MARKER"
[ "$(run_instance)" = "" ] || fail "the first start after the next boot passed $(cat "$work/argv")"

# The router's zone from /etc/TZ.
echo "CET-1CEST,M3.5.0,M10.5.0/3" > "$TZ_FILE"
register
grep -qxF "[env][TZ=CET-1CEST,M3.5.0,M10.5.0/3]" "$work/instance" || fail "no TZ: $(cat "$work/instance")"

# A settings file a line: the default as before, then lte and wan2 each with
# its name and marker; what is no instance name is no line.
for name in wan2 lte Bad x.y lte~ abcdefghijklmnop -a; do : > "$SETTINGS.$name"; done
mkdir "$SETTINGS.dir"
register
lines=$(cat "$work/instance")
expected="[instance][]
[command][/bin/sh][-c][if [ -e '$MARKER' ]; then exec '$PROG' -c; fi; : > '$MARKER'; exec '$PROG']
[env][TZ=CET-1CEST,M3.5.0,M10.5.0/3]
[respawn][3600][10][0]
[instance][lte]
[command][/bin/sh][-c][if [ -e '$work/run/tolvind-lte.ran' ]; then exec '$PROG' -c; fi; : > '$work/run/tolvind-lte.ran'; exec '$PROG']
[env][TZ=CET-1CEST,M3.5.0,M10.5.0/3][TOLVIN_INSTANCE=lte]
[respawn][3600][10][0]
[instance][wan2]
[command][/bin/sh][-c][if [ -e '$work/run/tolvind-wan2.ran' ]; then exec '$PROG' -c; fi; : > '$work/run/tolvind-wan2.ran'; exec '$PROG']
[env][TZ=CET-1CEST,M3.5.0,M10.5.0/3][TOLVIN_INSTANCE=wan2]
[respawn][3600][10][0]"
[ "$lines" = "$expected" ] || fail "registered for three lines:
$lines"
# Each line's settings checked as it is registered, the findings logged.
[ "$(tail -n 3 "$work/checks" | tr '\n' ' ')" = "[]--check --log [lte]--check --log [wan2]--check --log " ] ||
    fail "checks: $(cat "$work/checks")"
# Each line's first start and its restart, apart from the others'.
[ "$(run_instance wan2 TOLVIN_INSTANCE=wan2)" = "" ] || fail "wan2's first start passed $(cat "$work/argv")"
[ "$(cat "$work/instance_variable")" = wan2 ] || fail "wan2's daemon saw $(cat "$work/instance_variable")"
[ "$(run_instance lte TOLVIN_INSTANCE=lte)" = "" ] || fail "lte's first start passed $(cat "$work/argv")"
[ "$(run_instance wan2 TOLVIN_INSTANCE=wan2)" = "[-c]" ] || fail "wan2's restart passed $(cat "$work/argv")"
# Without a zone, a named line's one variable.
rm "$TZ_FILE"
register
grep -qxF "[env][TOLVIN_INSTANCE=lte]" "$work/instance" || fail "lte without TZ: $(cat "$work/instance")"

echo "procd init script as expected"
