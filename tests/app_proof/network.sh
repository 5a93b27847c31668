#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# The Printer Application on a network, as another machine sees it.  Two
# network namespaces of this test's own, joined by a veth pair with
# addresses of a documentation range, are the server's machine and the
# other one; no traffic touches the host's interfaces.  A PAM service of the
# test's own (pam_exec with a fixed password, for root and for nobody)
# checks passwords, and a group of its own with root as a member is the
# admin group: no account is made or changed.  Everything is removed on
# exit, also after a failure.
#
# Without an auth-service, the other machine prints, and its
# Set-Printer-Attributes, Pause-Printer, Delete-Printer and web forms are
# refused (403).  With one: it prints
# over ipp:// and ipps://; the same requests without a password are refused
# (401, and 426 over plain http), from a user outside the group too (403),
# and from root, a member of the group, they succeed; loopback and the sub-commands need no
# password; the TLS key is the server's alone (0600, in a 0700 folder of its
# state) and nothing is written to CUPS's folders.  Restarted with another
# admin group, the server keeps that group, not the one its state file saved.
#
#   network.sh APP INSPECT CLIENT PAGES
#
set -uo pipefail
app=$1 inspect=$2 client=$3 pages=$4
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"

export PATH=$PATH:/usr/sbin:/sbin
if ((EUID != 0)); then
  echo "SKIP: making network namespaces and a PAM service needs root"
  exit 77
fi
for tool in ip ipptool curl groupadd groupdel; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (bash scripts/install-deps.sh)"; exit 1; }
done

ns_server=pelna-server-$$ ns_remote=pelna-remote-$$ pam_service=pelna-network-test-$$
admin_group=pelna-admins-$$
server_addr=198.51.100.1 remote_addr=198.51.100.2
password=pelna-test-password
cups_folders=(/etc/cups/ssl /root/.cups/ssl)

#
# network_cleanup - Stop the servers, remove the namespaces, the PAM
# service and the folder.
#
network_cleanup() {
  stop_process "$app_pid"
  stop_process "$inspect_pid"
  ip netns del "$ns_server" 2>/dev/null
  ip netns del "$ns_remote" 2>/dev/null
  rm -f "/etc/pam.d/$pam_service"
  getent group "$admin_group" >/dev/null && groupdel "$admin_group"
  proof_cleanup
}

#
# make_machines - The two namespaces, joined; skip when this system cannot
# make them.
#
make_machines() {
  if ! ip netns add "$ns_server" 2>/dev/null || ! ip netns add "$ns_remote" 2>/dev/null ||
     ! ip -n "$ns_server" link add veth0 type veth peer name veth1 netns "$ns_remote" 2>/dev/null; then
    echo "SKIP: this system cannot make network namespaces joined by a veth pair"
    exit 77
  fi
  ip -n "$ns_server" addr add "$server_addr/24" dev veth0 &&
    ip -n "$ns_remote" addr add "$remote_addr/24" dev veth1 &&
    ip -n "$ns_server" link set veth0 up && ip -n "$ns_remote" link set veth1 up &&
    ip -n "$ns_server" link set lo up && ip -n "$ns_remote" link set lo up ||
    { echo "FAIL: cannot set up the namespaces' addresses"; exit 1; }
}

#
# make_pam_service - A PAM service that takes root and nobody with the test
# password (pam_exec hands it over on standard input).
#
make_pam_service() {
  cat >"$work/check-password" <<SCRIPT
#!/bin/bash
IFS= read -r -d '' given
[[ (\$PAM_USER == root || \$PAM_USER == nobody) && \$given == '$password' ]]
SCRIPT
  chmod 700 "$work/check-password"
  cat >"/etc/pam.d/$pam_service" <<PAM
auth     required pam_exec.so expose_authtok quiet $work/check-password
auth     optional pam_permit.so
account  required pam_permit.so
PAM
}

#
# make_admin_group - The admin group, root a member (not its primary group).
#
make_admin_group() {
  groupadd --users root "$admin_group" || { echo "FAIL: cannot make the group $admin_group"; exit 1; }
}

#
# remote COMMAND ... - Run a command on the other machine.
#
remote() {
  ip netns exec "$ns_remote" env HOME="$work/remote" "$@"
}

#
# start_server NAME PORT [OPTION ...] - The server on the server's machine,
# listening on every address, its state in $work/NAME; sets app_pid.
#
start_server() {
  local name=$1 port=$2 i
  shift 2
  export SNAP_COMMON=$work/$name
  mkdir -p "$SNAP_COMMON"
  ip netns exec "$ns_server" "$app" server -o server-port="$port" -o listen-hostname='*' \
    -o log-file="$work/$name.log" -o log-level=debug "$@" >"$work/$name.out" 2>&1 &
  app_pid=$!
  for ((i = 0; i < 100; i++)); do
    [[ -S $SNAP_COMMON/pelna-printer-app.sock ]] &&
      remote bash -c "exec 3<>/dev/tcp/$server_addr/$port" 2>/dev/null && return 0
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "FAIL: the server $name did not start:"
  cat "$work/$name.out"
  exit 1
}

#
# stop_server NAME - Stop the server; fail when it had stopped by itself or
# the sanitizers found faults.
#
stop_server() {
  app_alive || fail "$1: the server is no longer running"
  stop_process "$app_pid"
  app_pid=""
  if grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error:' "$work/$1.out"; then
    fail "$1: the sanitizers found faults in the server:"
    grep -E -A12 'ERROR: (Address|Leak)Sanitizer|runtime error:' "$work/$1.out" | head -60
  fi
}

#
# write_requests - The ipptool requests the other machine sends.
#
write_requests() {
  local common='ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en'
  cat >"$work/print.test" <<EOF
{ OPERATION Print-Job GROUP operation-attributes-tag $common ATTR uri printer-uri \$uri
  ATTR name requesting-user-name phone ATTR mimeMediaType document-format image/png
  FILE \$filename STATUS successful-ok }
EOF
  cat >"$work/set.test" <<EOF
{ OPERATION Set-Printer-Attributes GROUP operation-attributes-tag $common ATTR uri printer-uri \$uri
  GROUP printer-attributes-tag ATTR integer printer-darkness-configured \$darkness STATUS successful-ok }
EOF
  for op in Pause-Printer Resume-Printer; do
    cat >"$work/$op.test" <<EOF
{ OPERATION $op GROUP operation-attributes-tag $common ATTR uri printer-uri \$uri STATUS successful-ok }
EOF
  done
  cat >"$work/create.test" <<EOF
{ OPERATION Create-Job GROUP operation-attributes-tag $common ATTR uri printer-uri \$uri
  ATTR name requesting-user-name \$owner STATUS successful-ok EXPECT job-id DISPLAY job-id }
EOF
  cat >"$work/send.test" <<EOF
{ OPERATION Send-Document GROUP operation-attributes-tag $common ATTR uri printer-uri \$uri
  ATTR integer job-id \$job ATTR name requesting-user-name \$owner ATTR mimeMediaType document-format image/png
  ATTR boolean last-document true FILE \$filename STATUS successful-ok }
EOF
  for op in Cancel-Job Hold-Job; do
    cat >"$work/$op.test" <<EOF
{ OPERATION $op GROUP operation-attributes-tag $common ATTR uri printer-uri \$uri
  ATTR integer job-id \$job ATTR name requesting-user-name \$owner STATUS successful-ok }
EOF
  done
  cat >"$work/delete.test" <<EOF
{ OPERATION Delete-Printer GROUP operation-attributes-tag $common ATTR uri system-uri \$uri
  ATTR integer printer-id \$printer_id STATUS successful-ok }
EOF
}

#
# ipp_status URI TEST [OPTION ...] - The status the other machine gets for
# one request.
#
ipp_status() {
  local uri=$1 test=$2 out
  shift 2
  out=$(remote timeout 60 ipptool -T 20 -t "$@" "$uri" "$work/$test.test" 2>&1)
  if [[ $out == *"[PASS]"* ]]; then
    echo successful-ok
  else
    sed -n 's/.*status-code = \([a-z-]*\).*/\1/p' <<<"$out" | tail -1
  fi
}

#
# expect_ipp WANTED URI TEST [OPTION ...] - Fail unless a request gets the
# status wanted.
#
expect_ipp() {
  local wanted=$1 got
  shift
  got=$(ipp_status "$@")
  [[ $got == "$wanted" ]] || fail "$2 to $1: ${got:-no answer}, not $wanted"
}

#
# web_status [CURL OPTION ...] URL - The HTTP status the other machine gets.
#
web_status() {
  remote curl -sk --max-time 30 -o "$work/reply.html" -w '%{http_code}' "$@"
}

#
# form_token BASE PRINTER - The form token of the other machine (tokens are
# made per client address), from the printer's status page.
#
form_token() {
  remote curl -s --max-time 30 "$1/$2/" | sed -n 's/.*name="session" value="\([^"]*\)".*/\1/p' | head -1
}

#
# printer_attr URI NAME - A printer attribute, as the other machine reads it.
#
printer_attr() {
  remote "$client" attr "$1" "$2"
}

#
# print_from_remote LABEL URI - Print a label from the other machine and
# see it reach the printer.
#
print_from_remote() {
  local before
  before=$(job_dirs)
  expect_ipp successful-ok "$2" print -f "$work/label.png"
  device_job $((before + 1)) >/dev/null || fail "$1: the label printed from the other machine did not reach the printer"
}

#
# files_outside - What the server could have written outside its folder:
# CUPS's credential folders, and the state a server keeps without
# SNAP_COMMON.
#
files_outside() {
  local path
  for path in "${cups_folders[@]}"; do
    [[ -d $path ]] && find "$path" -printf '%p %s %T@ %m\n'
  done
  for path in /var/lib/pelna-printer-app.state /var/lib/pelna-printer-app.ssl \
      /var/spool/pelna-printer-app /run/pelna-printer-app.sock; do
    [[ -e $path ]] && echo "$path"
  done
  return 0
}

work=$(mktemp -d /tmp/pelna-network.XXXXXX)
trap network_cleanup EXIT
trap 'exit 1' INT TERM HUP PIPE
make_machines
make_pam_service
make_admin_group
write_requests
mkdir -p "$work/remote"
"$pages" png "$work/label.png" 200 100
outside_before=$(files_outside)

# The printer, on the server's machine.
real_inspect=$inspect
inspect=$work/inspect-on-server
printf '#!/bin/sh\nexec ip netns exec %s "%s" "$@"\n' "$ns_server" "$real_inspect" >"$inspect"
chmod 700 "$inspect"
start_printer

# --- No auth-service: printing is open, administration from the other machine is refused.
start_server open 8631
add_printer labels pelna_203 "socket://127.0.0.1:$printer_port"
base=http://$server_addr:8631 uri=ipp://$server_addr:8631/ipp/print/labels
id=$(remote "$client" submit "$uri" "$work/label.png" image/png) &&
  remote "$client" wait "$uri" "${id%% *}" 60 >/dev/null || fail "open: a job from the other machine did not complete"
print_from_remote open "$uri"
printer_id=$(printer_attr "$uri" printer-id)
expect_ipp client-error-forbidden "$uri" set -d darkness=75
expect_ipp client-error-forbidden "$uri" Pause-Printer
expect_ipp client-error-forbidden "ipp://$server_addr:8631/ipp/system" delete -d printer_id="$printer_id"
token=$(form_token "$base" labels)
[[ -n $token ]] || fail "open: the printer's status page has no form token"
code=$(web_status -d "session=$token&print-darkness=100" "$base/labels/printing")
[[ $code == 403 ]] || fail "open: the printing defaults form from the other machine got $code, not 403"
code=$(web_status -d "session=$token&action=pause-printer" "$base/labels/")
[[ $code == 403 ]] || fail "open: the pause button from the other machine got $code, not 403"
[[ $(printer_attr "$uri" printer-darkness-configured) == 35 ]] || fail "open: the darkness changed"
# Another user's job: only its owner (or an administrator) acts on it.
job=$(remote timeout 60 ipptool -T 20 -t -d owner=alice "$uri" "$work/create.test" 2>&1 |
      sed -n 's/.*job-id (integer) = \([0-9]*\).*/\1/p' | head -1)
[[ -n $job ]] || fail "open: alice's Create-Job from the other machine was refused"
expect_ipp client-error-not-authorized "$uri" send -d owner=bob -d job="$job" -f "$work/label.png"
expect_ipp client-error-not-authorized "$uri" Cancel-Job -d owner=bob -d job="$job"
expect_ipp client-error-forbidden "$uri" Hold-Job -d owner=bob -d job="$job"
expect_ipp successful-ok "$uri" send -d owner=alice -d job="$job" -f "$work/label.png"
# A refusal by HTTP status is the whole reply: no "200 OK" follows it.
grep -A2 -E '\] (Forbidden|Unauthorized)$' "$work/open.log" | grep -q 'OK application/ipp' &&
  fail "open: a request refused with an HTTP status got a second, successful reply"
state=$(remote "$client" wait "$uri" "$job" 60)
[[ $state == completed* ]] || fail "open: alice's job, her own document sent into it, is $state"
[[ $(printer_attr "$uri" printer-state) == idle ]] || fail "open: the printer is $(printer_attr "$uri" printer-state)"
grep -q "without an auth-service: printing is open, administration from another machine is refused" \
  "$work/open.log" || fail "open: the log does not say that administration from the network is refused"
stop_server open

# --- An auth-service, and an admin group root is a member of.
# Its host name is set after start, as PAPPL also does when DNS-SD renames
# the host: that tells libcups again where the TLS credentials go.
start_server auth 8632 -o auth-service="$pam_service" -o admin-group="$admin_group" \
  -o server-hostname=labels-server.local
add_printer labels pelna_203 "socket://127.0.0.1:$printer_port"
add_printer spare pelna_300 "socket://127.0.0.1:$printer_port"
base=http://$server_addr:8632 secure=https://$server_addr:8632
uri=ipp://$server_addr:8632/ipp/print/labels ipps=ipps://$server_addr:8632/ipp/print/labels
print_from_remote auth-ipp "$uri"
print_from_remote auth-ipps "$ipps"
token=$(form_token "$base" labels)

# Without a password, with a wrong one, and from a user outside the admin
# group: refused.
for who in "" "root:wrong@" "nobody:$password@"; do
  case $who in
    nobody*) wanted="client-error-forbidden" web=403 ;;
    *) wanted="client-error-not-authenticated" web=401 ;;
  esac
  expect_ipp "$wanted" "ipps://$who$server_addr:8632/ipp/print/labels" set -d darkness=75
  expect_ipp "$wanted" "ipps://$who$server_addr:8632/ipp/print/labels" Pause-Printer
  user=() && [[ -n $who ]] && user=(-u "${who%@}")
  code=$(web_status "${user[@]}" -d "session=$token&print-darkness=100" "$secure/labels/printing")
  [[ $code == "$web" ]] || fail "auth: the printing defaults form as '${who%@}' got $code, not $web"
  code=$(web_status "${user[@]}" -d "session=$token&action=pause-printer" "$secure/labels/")
  [[ $code == "$web" ]] || fail "auth: the pause button as '${who%@}' got $code, not $web"
done
expect_ipp client-error-not-authenticated "$uri" Pause-Printer
code=$(web_status -d "session=$token&print-darkness=100" "$base/labels/printing")
[[ $code == 426 ]] || fail "auth: a form over plain http got $code, not 426 (upgrade to TLS)"
[[ $(printer_attr "$uri" printer-darkness-configured) == 35 ]] || fail "auth: the darkness changed"
[[ $(printer_attr "$uri" printer-state) == idle ]] || fail "auth: the printer is $(printer_attr "$uri" printer-state)"

# From root, with the password: done.
admin=root:$password@$server_addr:8632
expect_ipp successful-ok "ipps://$admin/ipp/print/labels" set -d darkness=75
[[ $(printer_attr "$uri" printer-darkness-configured) == 75 ]] || fail "auth: root did not set the darkness"
expect_ipp successful-ok "ipp://$admin/ipp/print/labels" Pause-Printer
[[ $(printer_attr "$uri" printer-state) == stopped ]] || fail "auth: root did not pause the printer"
expect_ipp successful-ok "ipps://$admin/ipp/print/labels" Resume-Printer
code=$(web_status -u "root:$password" -d "session=$token&print-darkness=100" "$secure/labels/printing")
[[ $code == 200 ]] && grep -q "Changes saved" "$work/reply.html" || fail "auth: root's printing defaults form got $code"
[[ $(printer_attr "$uri" printer-darkness-configured) == 100 ]] || fail "auth: root's form did not set the darkness"
print_from_remote auth-after "$uri"

# On the server's machine: loopback and the sub-commands need no password.
ip netns exec "$ns_server" "$client" form "http://127.0.0.1:8632" /labels/printing print-darkness=50 ||
  fail "auth: the printing defaults form on loopback needs a password"
"$app" pause -d labels >/dev/null && [[ $(printer_attr "$uri" printer-state) == stopped ]] ||
  fail "auth: the pause sub-command did not pause"
"$app" resume -d labels >/dev/null || fail "auth: the resume sub-command failed"

# The TLS key is the server's alone, in its own folder.
keys=("$SNAP_COMMON"/pelna-printer-app.ssl/*.key)
[[ -f $SNAP_COMMON/pelna-printer-app.ssl/labels-server.local.key ]] ||
  fail "auth: no TLS key for labels-server.local in $SNAP_COMMON/pelna-printer-app.ssl"
for key in "${keys[@]}"; do
  [[ -f $key ]] || continue
  [[ $(stat -c %a "$key") == 600 ]] || fail "auth: the key $key has mode $(stat -c %a "$key")"
done
[[ $(stat -c %a "$SNAP_COMMON/pelna-printer-app.ssl") == 700 ]] || fail "auth: the TLS folder is not private"
stop_server auth

# Restarted (PAPPL 1.3.1 gives a printer added while it runs its id only
# then): deleting a printer.
start_server auth 8633 -o auth-service="$pam_service" -o admin-group="$admin_group"
spare=ipp://$server_addr:8633/ipp/print/spare
spare_id=$(printer_attr "$spare" printer-id)
for who in "" "nobody:$password@"; do
  wanted="client-error-not-authenticated"
  [[ -z $who ]] || wanted="client-error-forbidden"
  expect_ipp "$wanted" "ipps://$who$server_addr:8633/ipp/system" delete -d printer_id="$spare_id"
done
[[ $(printer_attr "$spare" printer-id) == "$spare_id" ]] || fail "auth: the spare printer was deleted"
expect_ipp successful-ok "ipps://root:$password@$server_addr:8633/ipp/system" delete -d printer_id="$spare_id"
[[ -z $(printer_attr "$spare" printer-id) ]] || fail "auth: root did not delete the spare printer"
stop_server auth

# An auth-service with an admin group that does not exist would let every
# user PAM accepts administer: the server does not start.
out=$(SNAP_COMMON=$work/auth timeout 30 ip netns exec "$ns_server" "$app" server -o server-port=8635 \
  -o listen-hostname='*' -o auth-service="$pam_service" -o admin-group=pelna-no-such-group 2>&1) &&
  fail "auth: the server started with an admin group that does not exist"
[[ $out == *"The admin group 'pelna-no-such-group' does not exist"* ]] ||
  fail "auth: no reason given for not starting: $out"

# Restarted with another admin group: root, not in it, is refused, though
# the state file saved the group root is in.
grep -q "^AdminGroup $admin_group" "$work/auth/pelna-printer-app.state" || fail "auth: the state file has no admin group"
start_server auth 8634 -o auth-service="$pam_service" -o admin-group=nogroup
expect_ipp client-error-forbidden "ipps://root:$password@$server_addr:8634/ipp/print/labels" Pause-Printer
stop_server auth

[[ $(files_outside) == "$outside_before" ]] ||
  fail "the servers wrote outside their folders: $(diff <(echo "$outside_before") <(files_outside))"
if ((failures)); then
  echo "network: $failures failure(s); the servers' warnings and errors:"
  grep -hE "^[EW] " "$work/open.log" "$work/auth.log" | tail -20
  echo "(PELNA_PROOF_KEEP=1 keeps $work)"
  exit 1
fi
echo "network: all checks hold"
