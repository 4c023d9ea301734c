#!/usr/bin/env bash
# End-to-end test with a real mail system: a Postfix instance of its own
# produces real bounces and delivers each one, through the pipe transport
# the README documents, into `mailvane -eml /dev/stdin -out FILE -append`,
# and into a Maildir as well. Every CSV row is then checked against the
# Final-Recipient, Action and Status fields Postfix wrote in that bounce's
# delivery-status part (read by Mailvane's rules where they differ, see
# report_rows), once for the rows of the pipe and once for a `mailvane -dir`
# run over the Maildir copies. At the end it lists the rows that differ.
#
# Run as root: bash scripts/test-mta.sh [path/to/mailvane]  (default
# build/mailvane, built when missing). It installs Debian's postfix when it
# is missing, but never touches the configuration of a mail system the
# machine runs: the instance has its own configuration, queue and data
# directories under a temporary directory, listens on no network port, and
# is stopped and removed when the script ends, also when a check fails.
# MAILVANE_MTA_KEEP=1 keeps the temporary directory for a look afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
  echo "test-mta: FAILED: $*" >&2
  exit 1
}

[ "$(id -u)" -eq 0 ] || fail "run as root: Postfix starts as root and hands mail to an ordinary user"

# Installing Debian's postfix would remove another mail system (it replaces
# whatever provides /usr/sbin/sendmail), so that is refused.
if ! [ -x /usr/sbin/postfix ]; then
  if [ -e /usr/sbin/sendmail ]; then
    fail "this machine has a mail system other than Postfix (/usr/sbin/sendmail);" \
      "installing postfix would replace it. Run this test where Postfix is installed or no mail system is."
  fi
  # "No configuration": the package sets up no system instance of its own.
  echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
fi
source scripts/setup.sh
mailvane_install_missing postfix

mailvane="${1:-build/mailvane}"
if ! [ -x "$mailvane" ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build -j2 --target mailvane
  mailvane=build/mailvane
fi

start_time=$SECONDS
work=$(mktemp -d "${TMPDIR:-/tmp}/mailvane-mta.XXXXXX")
conf="$work/conf"
out="$work/out/bounces.csv"
maildir="$work/copies/Maildir/new"
log="$work/maillog"
hand_pid=""
is_started=0

cleanup() {
  local status=$?
  set +e
  if [ -n "$hand_pid" ]; then kill "$hand_pid" 2>/dev/null; wait "$hand_pid" 2>/dev/null; fi
  if ((is_started)); then
    local master_pid
    master_pid=$(tr -d ' ' <"$work/queue/pid/master.pid" 2>/dev/null)
    postfix -c "$conf" stop >/dev/null 2>&1
    for _ in $(seq 40); do
      [ -n "$master_pid" ] && kill -0 "$master_pid" 2>/dev/null || break
      sleep 0.25
    done
    [ -n "$master_pid" ] && kill -9 "$master_pid" 2>/dev/null
  fi
  if ((status != 0)) && [ -f "$log" ]; then
    echo "--- last lines of the instance's mail log ($log)" >&2
    tail -n 40 "$log" >&2
  fi
  if [ "${MAILVANE_MTA_KEEP:-0}" = 1 ]; then
    echo "test-mta: kept $work"
  else
    rm -rf "$work"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The pipe runs the command as an ordinary user; nobody needs no account of
# its own and can reach nothing here but the output and copy directories.
pipe_user=nobody
pipe_uid=$(id -u "$pipe_user")
pipe_gid=$(id -g "$pipe_user")

chmod 755 "$work"
mkdir -p "$conf" "$work/queue" "$work/data" "$work/bin" "$work/out" "$work/copies" "$work/spool"
chown "$pipe_user" "$work/out" "$work/copies"
chown postfix "$work/data"
chmod 1777 "$work/spool"
install -m 755 "$mailvane" "$work/bin/mailvane"
# Delivery commands that fail: for good, for a while, and for a while with
# the reason a server would give.
printf '#!/bin/sh\ncat >/dev/null\nexit 67\n' >"$work/bin/exit67"
printf '#!/bin/sh\ncat >/dev/null\nexit 75\n' >"$work/bin/exit75"
printf '#!/bin/sh\ncat >/dev/null\nexit 65\n' >"$work/bin/exit65"
printf '#!/bin/sh\ncat >/dev/null\necho "452 4.2.2 mailbox full, try again later"\nexit 75\n' \
  >"$work/bin/explain75"
chmod 755 "$work/bin/exit67" "$work/bin/exit75" "$work/bin/exit65" "$work/bin/explain75"

# Domains, all inside the instance: local.test is delivered by local(8),
# exit67.test, exit75.test and explain75.test by commands that fail,
# copies.test into the
# Maildir. Every bounce goes to bounces@sender.test, which the virtual alias
# sends both to the Mailvane pipe and to the Maildir.
cat >"$conf/main.cf" <<EOF
compatibility_level = 3.6
queue_directory = $work/queue
data_directory = $work/data
maillog_file = $log
maillog_file_prefixes = $work
mail_owner = postfix
setgid_group = postdrop
myhostname = mta.mailvane.test
mydomain = mailvane.test
myorigin = \$myhostname
mydestination = local.test
append_dot_mydomain = no
inet_interfaces = loopback-only
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
alias_maps =
alias_database =
local_recipient_maps =
biff = no
notify_classes = 2bounce
2bounce_notice_recipient = postmaster@copies.test
default_transport = error:outside this test
relay_transport = error:outside this test
transport_maps = texthash:$conf/transport
virtual_alias_maps = texthash:$conf/virtual
virtual_mailbox_domains = copies.test
virtual_mailbox_base = $work/copies
virtual_mailbox_maps = texthash:$conf/vmailbox
virtual_uid_maps = static:$pipe_uid
virtual_gid_maps = static:$pipe_gid
mail_spool_directory = $work/spool
message_size_limit = 100000
mailbox_size_limit = 100000
virtual_mailbox_limit = 100000
delay_warning_time = 4s
maximal_queue_lifetime = 15s
bounce_queue_lifetime = 15s
queue_run_delay = 1s
minimal_backoff_time = 2s
maximal_backoff_time = 3s
mailvane_destination_concurrency_limit = 1
EOF
cat >"$conf/master.cf" <<EOF
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
local     unix  -       n       n       -       -       local
virtual   unix  -       n       n       -       -       virtual
postlog   unix-dgram n  -       n       -       1       postlogd
mailvane  unix  -       n       n       -       1       pipe
  user=$pipe_user argv=$work/bin/mailvane -eml /dev/stdin -out $out -append
exit67    unix  -       n       n       -       -       pipe
  user=$pipe_user argv=$work/bin/exit67
exit75    unix  -       n       n       -       -       pipe
  user=$pipe_user argv=$work/bin/exit75
explain75 unix  -       n       n       -       -       pipe
  user=$pipe_user argv=$work/bin/explain75
noinput   unix  -       n       n       -       -       pipe
  user=$pipe_user argv=$work/bin/mailvane -eml $work/missing.eml -out $work/out/noinput.csv -append
dataerr   unix  -       n       n       -       -       pipe
  user=$pipe_user argv=$work/bin/exit65
EOF
cat >"$conf/transport" <<EOF
mailvane.test   mailvane:
exit67.test     exit67:
exit75.test     exit75:
explain75.test  explain75:
noinput.test    noinput:
dataerr.test    dataerr:
EOF
cat >"$conf/virtual" <<EOF
bounces@sender.test   bounces@mailvane.test, copy@copies.test
moved@local.test      gone@local.test
EOF
cat >"$conf/vmailbox" <<EOF
copy@copies.test   Maildir/
postmaster@copies.test   Postmaster/
EOF

# A mailbox that one more message takes over its size limit.
head -c 99000 /dev/zero | tr '\0' 'x' >"$work/spool/$pipe_user"
chown "$pipe_user:$pipe_gid" "$work/spool/$pipe_user"
chmod 600 "$work/spool/$pipe_user"

export MAIL_CONFIG="$conf"
postfix -c "$conf" start >/dev/null
is_started=1

# send SUBJECT RECIPIENT... : one message from the bounce address.
send() {
  local subject=$1
  shift
  {
    printf 'From: <bounces@sender.test>\nSubject: %s\n\n' "$subject"
    printf 'Newsletter body line %s\n' $(seq 40)
  } | sendmail -f bounces@sender.test -- "$@"
}

count_files() { find "$maildir" -type f 2>/dev/null | wc -l; }
count_rows() { [ -f "$out" ] && wc -l <"$out" || echo 0; }
# wait_for WHAT SECONDS COMMAND...: polls COMMAND four times a second.
wait_for() {
  local what=$1 limit=$2
  shift 2
  local i
  for ((i = 0; i < limit * 4; i++)); do
    "$@" && return 0
    sleep 0.25
  done
  fail "waited ${limit}s for $what"
}
at_least() { (($($1) >= $2)); }

# report_rows MODE FILE...: one line "action,status,recipient" for every
# recipient paragraph of each file's delivery-status part. MODE "postfix"
# gives Postfix's own Action, Status and Final-Recipient; MODE "rows" gives
# the row Mailvane's rules make of the same paragraph, which differs in two
# places: the address is the Original-Recipient when there is one (the
# address the sender used, before an alias changed it), and a "failed"
# recipient whose Diagnostic-Code text holds a temporary (4xx) code is
# "transient" with status 4.3.0.
report_rows() {
  awk -v mode="$1" '
    function address(text) {
      sub(/^[^;]*;[ \t]*/, "", text)
      gsub(/[<>]/, "", text)
      return text
    }
    function flush(   code) {
      if (final == "") return
      if (mode == "rows") {
        if (original != "") final = original
        if (action ~ /failed/ && (match(diagnostic, /[0-9][.][0-9][.][0-9][ \t]/) ||
                                  match(diagnostic, /[0-9][0-9][0-9][ \t]/)) &&
            substr(diagnostic, RSTART, 1) == "4") {
          action = "transient"
          status = "4.3.0"
        }
      }
      print action "," status "," final
      final = original = action = status = diagnostic = ""
    }
    FNR == 1 { flush(); state = 0 }
    { sub(/\r$/, "") }
    state == 0 { if (tolower($0) ~ /^content-type: *message\/delivery-status/) state = 1; next }
    state == 1 { if ($0 == "") state = 2; next }
    state == 2 && /^--/ { flush(); state = 3; next }
    state == 2 && $0 == "" { flush(); next }
    state == 2 && /^[ \t]/ {
      if (name == "diagnostic-code") { sub(/^[ \t]+/, ""); diagnostic = diagnostic " " $0 }
      next
    }
    state == 2 {
      name = tolower($0)
      sub(/[ \t]*:.*/, "", name)
      value = $0
      sub(/^[^:]*:[ \t]*/, "", value)
      sub(/[ \t]+$/, "", value)
      if (name == "final-recipient") final = address(value)
      else if (name == "original-recipient") original = address(value)
      else if (name == "action") action = value
      else if (name == "status") status = value
      else if (name == "diagnostic-code") { diagnostic = value; sub(/^[^;]*;[ \t]*/, "", diagnostic) }
    }
    END { flush() }
  ' "${@:2}"
}

# csv_rows FILE [NAME]: "action,status,recipient" of each row (of file NAME).
csv_rows() {
  awk -F'","' -v name="${2:-}" 'name == "" || $2 == name { print $3 "," $4 "," $5 }' "$1"
}

# same_rows WHAT WANT GOT: both lists, sorted, must be equal.
same_rows() {
  if ! diff <(sort <<<"$2") <(sort <<<"$3") >"$work/diff"; then
    echo "--- $1: Postfix's fields (<) against Mailvane's rows (>)" >&2
    cat "$work/diff" >&2
    fail "$1 differ"
  fi
}

# --- The cases. Each recipient address is used once, so every row names its
# bounce.
send "unknown user" nosuchuser@local.test
send "mailbox over its size limit" "$pipe_user@local.test"
send "command failing permanently" perm@exit67.test
send "command failing temporarily" temp@exit75.test
send "command failing temporarily, with a reason" full@explain75.test
send "address an alias sends to an unknown user" moved@local.test
send "three failing recipients" three1@local.test three2@exit67.test three3@local.test
for i in $(seq 20); do send "one of twenty" "twenty$i@local.test" & done
wait

# What Postfix itself must have reported: its Action, Status and
# Final-Recipient for each case.
want="failed,5.1.1,nosuchuser@local.test
failed,5.2.2,$pipe_user@local.test
failed,5.1.1,perm@exit67.test
delayed,4.3.0,temp@exit75.test
failed,4.3.0,temp@exit75.test
delayed,4.3.0,full@explain75.test
failed,4.3.0,full@explain75.test
failed,5.1.1,gone@local.test
failed,5.1.1,three1@local.test
failed,5.1.1,three2@exit67.test
failed,5.1.1,three3@local.test"
for i in $(seq 20); do want+=$'\n'"failed,5.1.1,twenty$i@local.test"; done
# 20 bounces, one for each of five other cases (one of them with three
# rows), and two for each temporary failure: a delay warning, then the bounce.
wait_for "29 bounces in the Maildir" 90 at_least count_files 29
wait_for "31 rows from the pipe" 30 at_least count_rows 31
sleep 3  # nothing more may arrive
(($(count_files) == 29)) || fail "$(count_files) bounces, want 29"
same_rows "Postfix's fields and the cases sent" "$want" "$(report_rows postfix "$maildir"/*)"
three=$(grep -l 'three2@exit67.test' "$maildir"/* | wc -l)
((three == 1)) || fail "the message to three recipients gave $three bounces, want 1"

# --- A run started by hand holds the output file: it waits on a FIFO that
# nobody writes yet. The pipe must exit 75, Postfix defer, and the rows come
# once the run ends.
mkfifo "$work/hand.fifo"
"$work/bin/mailvane" -eml "$work/hand.fifo" -out "$out" -append >"$work/hand.log" 2>&1 &
hand_pid=$!
# Watch for the run's lock without taking it: a probe with flock would hold
# the lock for an instant and could make the starting run give up with 75.
# The run locks the output file before it opens the FIFO, so once it waits
# in that open for a writer (wait channel wait_for_partner), the lock is held.
is_locked() {
  kill -0 "$hand_pid" 2>/dev/null ||
    fail "the run by hand ended before it held the output file:" "$(cat "$work/hand.log")"
  grep -q wait_for_partner "/proc/$hand_pid/wchan" 2>/dev/null
}
wait_for "the run by hand to lock the output file" 10 is_locked
rows_before=$(count_rows)
for i in $(seq 5); do send "while the file is held" "held$i@local.test"; done
for i in $(seq 5); do want+=$'\n'"failed,5.1.1,held$i@local.test"; done
wait_for "5 more bounces in the Maildir" 30 at_least count_files 34
deferred() { grep -c 'relay=mailvane.*status=deferred' "$log" || true; }
bounced() { grep -c 'relay=mailvane.*status=bounced' "$log" || true; }
at_least_deferred() { (($(deferred) >= 5)) || (($(bounced) > 0)); }
wait_for "Postfix to defer the bounces for Mailvane" 30 at_least_deferred
(($(bounced) == 0)) || fail "Postfix returned bounces that Mailvane refused; the pipe must exit 75 while the output file is held:" \
  "$(grep 'relay=mailvane.*status=bounced' "$log" | head -n 1)"
(($(count_rows) == rows_before)) || fail "rows were written while the file was held"
timeout 10 sh -c ': >"$1"' sh "$work/hand.fifo"  # the run by hand reads an empty message and ends
wait "$hand_pid" || fail "the run by hand exited with $?"
hand_pid=""
wait_for "the 5 held rows" 30 at_least count_rows 36
sleep 2
(($(count_files) == 34)) || fail "$(count_files) bounces, want 34"
same_rows "Postfix's fields and the cases sent" "$want" "$(report_rows postfix "$maildir"/*)"

same_rows "rows from the pipe" "$(report_rows rows "$maildir"/*)" "$(csv_rows "$out")"
stdin_rows=$(csv_rows "$out" stdin | wc -l)
((stdin_rows == 36)) || fail "$stdin_rows rows name the file \"stdin\", want 36"

# --- The Maildir copies through -dir: each file's rows against its own report.
"$work/bin/mailvane" -dir "$maildir" -out "$work/dir.csv" >"$work/dir.log"
for file in "$maildir"/*; do
  same_rows "rows of $(basename "$file")" "$(report_rows rows "$file")" \
    "$(csv_rows "$work/dir.csv" "$(basename "$file")")"
done

# --- The Maildir itself, as the mail system left it: -dir on its root reads
# new/ and cur/, and gives the same rows.
"$work/bin/mailvane" -dir "$(dirname "$maildir")" -out "$work/root.csv" >"$work/root.log"
same_rows "rows of the Maildir root" "$(csv_rows "$work/dir.csv")" "$(csv_rows "$work/root.csv")"

# --- A bounce the pipe cannot read (66, EX_NOINPUT: here a run that names a
# missing file) or gives up on (65, EX_DATAERR) is not lost: Postfix takes
# both as lasting failures and returns the bounce, which has no sender, to
# the postmaster as a double bounce (with notify_classes = 2bounce).
for code in noinput dataerr; do
  printf 'From: <bounce-%s@%s.test>\nSubject: lost\n\nbody\n' "$code" "$code" |
    sendmail -f "bounce-$code@$code.test" -- "lost-$code@local.test"
done
postmaster="$work/copies/Postmaster/new"
count_postmaster() { find "$postmaster" -type f 2>/dev/null | wc -l; }
wait_for "2 double bounces for the postmaster" 30 at_least count_postmaster 2
for code in noinput dataerr; do
  grep -q "relay=$code.*dsn=5\..*status=bounced" "$log" ||
    fail "Postfix did not take the pipe's exit status as a lasting failure for $code"
  grep -lq "lost-$code@local.test" "$postmaster"/* ||
    fail "no double bounce for the postmaster holds the bounce the $code pipe refused"
done
echo "test-mta: pipe exit statuses 65 and 66: $(grep -o 'relay=noinput.*' "$log" | head -n 1)"

echo "test-mta: where Mailvane's rows differ from Postfix's own fields, by rule (Postfix < > rows):"
diff <(report_rows postfix "$maildir"/* | sort) <(report_rows rows "$maildir"/* | sort) | grep '^[<>]' || true
echo "test-mta: passed: 34 bounces; their 36 rows, from the pipe and from -dir, match" \
  "Postfix's own fields ($((SECONDS - start_time))s)"
