#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Proves the Debian package installs, reinstalls, removes and purges as it
# should, on this machine, as root:
#   lintian    lintian --pedantic, informational tags shown, finds no error,
#              no warning and no hardening flaw (full RELRO, bind-now,
#              fortified functions);
#   install    the files, the system user morvix, /var/lib/morvix (0750,
#              morvix's), the unit enabled and accepted by systemd-analyze
#              verify, the programs run, the manual pages name each other;
#   receivers  the template morvix@.service passes systemd-analyze verify,
#              an instance is skipped until its options file and identity
#              exist, and two receivers set up as the README says run side
#              by side, each on its own ports; the MQTT bridge's template
#              morvix-mqtt@.service passes systemd-analyze verify and an
#              instance is skipped until its options file exists;
#   reinstall  an edited /etc/default/morvix and the station identity stay;
#   remove     the programs and the unit go, configuration and identity stay;
#   install    after a remove: everything back, the edits kept, the unit
#              unmasked and enabled again;
#   postinst   with systemd as the init (faked in a private mount namespace):
#              a first configure starts the unit, a configure with an old
#              version (an upgrade, or a reinstall after remove) restarts it
#              and the templates' running and enabled instances; a remove
#              stops them all;
#   purge      nothing of the package is left.
# Whatever happens, it ends by purging the package and deleting the user, so
# the machine is left as it was. It refuses to run where morvix is already
# installed or the user morvix exists.
#
#   packaging/check_deb.sh build/default/morvix_0.1.0_amd64.deb
set -euo pipefail

deb=$(realpath "$1")
unit=/usr/lib/systemd/system/morvix.service
template=/usr/lib/systemd/system/morvix@.service
bridge=/usr/lib/systemd/system/morvix-mqtt@.service
bridge_wants=/etc/systemd/system/multi-user.target.wants/morvix-mqtt@morvix-check-a.service
# Two receivers of the template, as an operator would set them up.
receivers=(morvix-check-a morvix-check-b)
receiver_wants=/etc/systemd/system/multi-user.target.wants/morvix@morvix-check-a.service
wants=/etc/systemd/system/multi-user.target.wants/morvix.service
mask=/etc/systemd/system/morvix.service

fail() {
  echo "FAILED: $*" >&2
  exit 1
}
check() {  # check DESCRIPTION COMMAND...
  "${@:2}" || fail "$1"
}
installed() { dpkg-query -W -f='${db:Status-Status}' morvix 2>/dev/null; }

[ "$(id -u)" = 0 ] || fail "run as root: it installs the package"
# One check at a time on a machine; dpkg itself may be busy with apt.
exec 9>/tmp/morvix-check-deb.lock
flock -w 900 9 || fail "another package check holds /tmp/morvix-check-deb.lock"
case "$(installed)" in
"" | not-installed) ;;
*) fail "morvix is installed here ($(installed)); this check would remove it" ;;
esac
! getent passwd morvix >/dev/null || fail "a user morvix exists; this check would delete it"

dpkg_do() {  # dpkg, waiting while another dpkg or apt holds its lock
  local tries=0 out
  until out=$(dpkg "$@" </dev/null 2>&1); do
    if [[ $out == *"lock"* ]] && [ $((tries += 1)) -lt 120 ]; then
      sleep 5
      continue
    fi
    echo "$out" >&2
    return 1
  done
}

cleanup() {
  local status=$?
  trap - EXIT
  [ -z "$(installed)" ] || [ "$(installed)" = not-installed ] || dpkg_do --purge morvix || true
  if getent passwd morvix >/dev/null; then userdel morvix || true; fi
  if getent group morvix >/dev/null; then groupdel morvix || true; fi
  rm -rf /var/lib/morvix
  for r in "${receivers[@]}"; do rm -f "/etc/default/morvix-$r"; done
  rm -f "$receiver_wants" "$bridge_wants" /etc/default/morvix-mqtt-morvix-check-a
  [ ${#receiver_pids[@]} -eq 0 ] || kill "${receiver_pids[@]}" 2>/dev/null || true
  [ -n "${stubs:-}" ] && rm -rf "$stubs"
  if [ $status -eq 0 ]; then echo "package check passed; package and user removed"; fi
  exit $status
}
trap cleanup EXIT

receiver_pids=()
files=(/usr/bin/morvix /usr/bin/morvix-client /usr/bin/morvix-gen /usr/bin/morvix-decode "$unit" "$template"
       "$bridge" /etc/default/morvix /usr/share/morvix/prometheus/morvix.rules.yml)
docs=(/usr/share/man/man8/morvix.8.gz /usr/share/man/man1/morvix-client.1.gz
      /usr/share/man/man1/morvix-gen.1.gz /usr/share/man/man1/morvix-decode.1.gz
      /usr/share/doc/morvix/copyright /usr/share/doc/morvix/changelog.gz
      /usr/share/doc/morvix/README.md.gz /usr/share/doc/morvix/docs/protocol.md.gz
      /usr/share/doc/morvix/docs/performance.md.gz /usr/share/doc/morvix/docs/development.md.gz
      /usr/share/doc/morvix/docs/tools.md.gz)
# Slim images tell dpkg not to install manual pages and documentation.
if grep -Eqs '^path-exclude=?\s*/usr/share/(man|doc)' /etc/dpkg/dpkg.cfg.d/*; then
  echo "dpkg here leaves out manual pages or documentation: not checking them"
  verify_man=no
else
  files+=("${docs[@]}")
  verify_man=yes
fi
uid_line=0123456789abcdef0123456789abcdef01234567

expect_installed() {
  check "status installed" [ "$(installed)" = installed ]
  for f in "${files[@]}"; do check "$f installed" [ -f "$f" ]; done
  check "the user morvix is a system user" \
    [ "$(getent passwd morvix | cut -d: -f3)" -lt 1000 ]
  check "the user morvix's home is /var/lib/morvix" \
    [ "$(getent passwd morvix | cut -d: -f6)" = /var/lib/morvix ]
  check "the group morvix exists" getent group morvix >/dev/null
  check "/var/lib/morvix is morvix's, 0750" \
    [ "$(stat -c %U:%G:%a /var/lib/morvix)" = morvix:morvix:750 ]
  check "the unit is enabled" [ -L "$wants" ]
  check "the unit is not masked" [ ! -e "$mask" ]
  check "morvix runs (usage text, status 0)" /usr/bin/morvix --usage 2>/dev/null
  check "morvix-gen runs" sh -c '/usr/bin/morvix-gen --help >/dev/null 2>&1'
  check "morvix-client runs" sh -c '/usr/bin/morvix-client --help >/dev/null 2>&1'
  check "morvix-decode runs" sh -c '/usr/bin/morvix-decode --help >/dev/null 2>&1'
}

echo "== lintian --pedantic"
if command -v lintian >/dev/null; then
  # Informational tags too: the hardening tags are among them.
  lintian_tags=$(lintian --pedantic --display-info "$deb" 2>/dev/null || true)
  echo "$lintian_tags"
  check "lintian finds no error or warning" sh -c '! grep -q "^[EW]: " "$1"' - <(echo "$lintian_tags")
  check "lintian finds no hardening flaw" sh -c '! grep -q " hardening-" "$1"' - <(echo "$lintian_tags")
else
  echo "no lintian here (Debian's lintian): not run"
fi

echo "== install"
dpkg_do -i "$deb"
expect_installed
check "systemd-analyze verify accepts the installed unit" \
  systemd-analyze verify --man="$verify_man" "$unit"
if [ "$verify_man" = yes ]; then
  check "the copyright file is machine-readable" \
    grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    /usr/share/doc/morvix/copyright
  for f in "${docs[@]}"; do
    [[ $f != *.gz ]] || check "$f is gzip" gzip -t "$f"
  done
  # Each page is found by man and points to the other three.
  pages=("morvix(8)" "morvix-client(1)" "morvix-gen(1)" "morvix-decode(1)")
  for page in "${pages[@]}"; do
    name=${page%(*}
    text=$(LC_ALL=C MANWIDTH=200 man -P cat "$name" 2>/dev/null | sed -n '/^SEE ALSO/,$p')
    for other in "${pages[@]}"; do
      [ "$other" = "$page" ] || check "$name's page names $other" grep -qF "$other" <<<"$text"
    done
  done
fi
morvix_uid=$(id -u morvix)

echo "== two receivers of the template"
check "systemd-analyze verify accepts the template" \
  systemd-analyze verify --man="$verify_man" "$template"
check "an instance without its options and identity is skipped, not started" \
  sh -c '! systemd-analyze condition --unit=morvix@morvix-check-c.service >/dev/null 2>&1'
# A port below the ephemeral range that no socket has; the kernel's tables
# are read directly, as this machine may lack ss.
free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 12000))
    awk -v p="$(printf '%04X' "$port")" 'FNR > 1 { split($2, a, ":"); if (a[2] == p) f = 1 }
      END { exit !f }' /proc/net/tcp /proc/net/tcp6 /proc/net/udp /proc/net/udp6 || break
  done
  echo "$port"
}
declare -A status_port
for r in "${receivers[@]}"; do
  status_port[$r]=$(free_port)
  echo "MORVIX_OPTS=\"-r $(free_port) -t $(free_port) -m ${status_port[$r]}\"" >"/etc/default/morvix-$r"
  install -d -o morvix -g morvix -m 0750 "/var/lib/morvix/$r"
  od -An -tx1 -N20 /dev/urandom | tr -d ' \n' >"/var/lib/morvix/$r/uid.txt"
  chown morvix: "/var/lib/morvix/$r/uid.txt"
  check "morvix@$r's conditions hold with its options and identity in place" \
    systemd-analyze condition --unit="morvix@$r.service" >/dev/null 2>&1
  check "systemd-analyze verify accepts morvix@$r" \
    systemd-analyze verify --man="$verify_man" "morvix@$r.service"
done
# Both at once, each as its unit runs it: as morvix, in its state
# directory, with its options file. Each answers on its own status port.
for r in "${receivers[@]}"; do
  runuser -u morvix -- sh -c 'set -a; . "/etc/default/morvix-$1"; cd "/var/lib/morvix/$1" &&
    exec /usr/bin/morvix $MORVIX_OPTS' - "$r" >/dev/null 2>&1 &
  receiver_pids+=($!)
done
metrics() {  # metrics PORT: the first lines of /metrics on 127.0.0.1:PORT
  timeout 2 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1" &&
    printf "GET /metrics HTTP/1.0\r\n\r\n" >&3 && cat <&3' - "$1" 2>/dev/null
}
for r in "${receivers[@]}"; do
  for _ in $(seq 50); do metrics "${status_port[$r]}" | grep -q '^morvix_' && break; sleep 0.1; done
  check "receiver $r serves its metrics beside the other" \
    grep -q '^morvix_uptime_seconds' <<<"$(metrics "${status_port[$r]}")"
done
for pid in "${receiver_pids[@]}"; do check "both receivers still run" kill -0 "$pid"; done
kill "${receiver_pids[@]}"
wait "${receiver_pids[@]}" 2>/dev/null || true
receiver_pids=()

echo "== the MQTT bridge's template"
check "systemd-analyze verify accepts the bridge's template" \
  systemd-analyze verify --man="$verify_man" "$bridge"
check "a bridge without its options is skipped, not started" \
  sh -c '! systemd-analyze condition --unit=morvix-mqtt@morvix-check-a.service >/dev/null 2>&1'
echo 'MORVIX_MQTT_OPTS="--port 4851 --mqtt mqtt://127.0.0.1/morvix-check"' \
  >/etc/default/morvix-mqtt-morvix-check-a
check "a bridge's conditions hold with its options in place" \
  systemd-analyze condition --unit=morvix-mqtt@morvix-check-a.service >/dev/null 2>&1
check "systemd-analyze verify accepts a bridge instance" \
  systemd-analyze verify --man="$verify_man" morvix-mqtt@morvix-check-a.service

echo "== reinstall"
echo 'MORVIX_OPTS="-s 8"' >>/etc/default/morvix
echo "$uid_line" >/var/lib/morvix/uid.txt
dpkg_do -i "$deb"
expect_installed
check "the edited options are kept" grep -q '^MORVIX_OPTS="-s 8"' /etc/default/morvix
check "the identity is kept" [ "$(cat /var/lib/morvix/uid.txt)" = "$uid_line" ]
check "the user is the same" [ "$(id -u morvix)" = "$morvix_uid" ]

echo "== remove"
dpkg_do -r morvix
check "status config-files" [ "$(installed)" = config-files ]
for f in /usr/bin/morvix /usr/bin/morvix-client /usr/bin/morvix-gen /usr/bin/morvix-decode "$unit" \
  "$template" "$bridge"; do
  check "$f removed" [ ! -e "$f" ]
done
check "the edited options are kept" grep -q '^MORVIX_OPTS="-s 8"' /etc/default/morvix
check "the identity is kept" [ "$(cat /var/lib/morvix/uid.txt)" = "$uid_line" ]
check "the user is kept" getent passwd morvix >/dev/null

echo "== install after remove"
dpkg_do -i "$deb"
expect_installed
check "the edited options are kept" grep -q '^MORVIX_OPTS="-s 8"' /etc/default/morvix
check "the identity is kept" [ "$(cat /var/lib/morvix/uid.txt)" = "$uid_line" ]

echo "== postinst under systemd"
# This machine may not run systemd, so the scripts skip the service. A
# private mount namespace with /run/systemd/system and a systemctl and
# deb-systemd-invoke that only log shows what they would ask systemd for.
stubs=$(mktemp -d /tmp/morvix-stubs-XXXXXX)
for tool in systemctl deb-systemd-invoke; do
  printf '#!/bin/sh\necho "%s $*" >>%s/calls\n' "$tool" "$stubs" >"$stubs/$tool"
  chmod +x "$stubs/$tool"
done
postinst_calls() {  # postinst_calls ARGS...: what postinst ARGS asks of systemd
  : >"$stubs/calls"
  unshare --mount sh -c 'mount -t tmpfs morvix-check /run && mkdir -p /run/systemd/system &&
    PATH="$0:$PATH" DPKG_MAINTSCRIPT_PACKAGE=morvix DPKG_MAINTSCRIPT_NAME=postinst \
    /var/lib/dpkg/info/morvix.postinst "$@" >/dev/null' "$stubs" "$@"
  cat "$stubs/calls"
}
check "a first configure starts the unit" \
  grep -qxE '(deb-systemd-invoke|systemctl) start morvix.service' <(postinst_calls configure)
check "a configure over an old version restarts the unit" \
  grep -qxE '(deb-systemd-invoke|systemctl) restart morvix.service' <(postinst_calls configure 0.1.0)
mkdir -p "$(dirname "$receiver_wants")"
ln -s "$template" "$receiver_wants"
ln -s "$bridge" "$bridge_wants"
calls=$(postinst_calls configure 0.1.0)
check "an upgrade restarts the running receivers of the template" \
  grep -qxE '(deb-systemd-invoke|systemctl) try-restart morvix@\*\.service' <<<"$calls"
check "an upgrade or a reinstall starts the enabled receivers again" \
  grep -qxE '(deb-systemd-invoke|systemctl) start morvix@morvix-check-a.service' <<<"$calls"
check "an upgrade restarts the running MQTT bridges" \
  grep -qxE '(deb-systemd-invoke|systemctl) try-restart morvix-mqtt@\*\.service' <<<"$calls"
check "an upgrade or a reinstall starts the enabled MQTT bridges again" \
  grep -qxE '(deb-systemd-invoke|systemctl) start morvix-mqtt@morvix-check-a.service' <<<"$calls"
check "a first install touches no receiver nor bridge" \
  sh -c '! grep -q "morvix@\|morvix-mqtt@" "$1"' - <(postinst_calls configure)
rm -f "$receiver_wants" "$bridge_wants"
: >"$stubs/calls"
unshare --mount sh -c 'mount -t tmpfs morvix-check /run && mkdir -p /run/systemd/system &&
  PATH="$0:$PATH" /var/lib/dpkg/info/morvix.prerm remove >/dev/null' "$stubs"
check "a remove stops every receiver of the template" \
  grep -qxE '(deb-systemd-invoke|systemctl) stop morvix@\*\.service' "$stubs/calls"
check "a remove stops every MQTT bridge" \
  grep -qxE '(deb-systemd-invoke|systemctl) stop morvix-mqtt@\*\.service' "$stubs/calls"

echo "== purge"
dpkg_do -P morvix
check "dpkg has forgotten morvix" [ -z "$(installed)" ] || [ "$(installed)" = not-installed ]
for f in "${files[@]}" "${docs[@]}" /var/lib/morvix "$wants" "$mask"; do
  check "$f purged" sh -c '[ ! -e "$1" ] && [ ! -L "$1" ]' - "$f"
done
check "no enablement state is left" \
  sh -c '! ls /var/lib/systemd/deb-systemd-helper-enabled 2>/dev/null | grep -q morvix'
check "no enablement state is left (masks)" \
  sh -c '! ls /var/lib/systemd/deb-systemd-helper-masked 2>/dev/null | grep -q morvix'
