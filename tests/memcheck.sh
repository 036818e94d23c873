#!/usr/bin/env bash
# Runs the program under valgrind's memcheck on one accepted request of each
# method, a refused one and each of the decoder's faults: no memory error and
# no definite or indirect leak in any of them. Memory that a fault's exit
# leaves reachable is not a leak. The accepted requests mail a local mailbox,
# so the whole SMTP dialogue runs under memcheck too.
# Usage: memcheck.sh PROGRAM MAIL_PORT MAILBOX_SCRIPT
set -uo pipefail
program=$(realpath "$1")
mail_port=$2
mailbox_script=$(realpath "$3")
valgrind=$(command -v valgrind) || { echo "valgrind is not installed" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-memcheck.XXXXXX")
mailbox_pid=
cleanup() {
  [ -n "$mailbox_pid" ] && kill "$mailbox_pid" 2>/dev/null && wait "$mailbox_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/log"

# start_mailbox: starts the mailbox and waits until it listens. Run by its
# own first line, which names the system's Python with its packages.
start_mailbox() {
  "$mailbox_script" --port "$mail_port" --json "$work/mail.json" >"$work/mailbox.out" 2>&1 &
  mailbox_pid=$!
  for _ in $(seq 100); do
    grep -q "listening" "$work/mailbox.out" && return 0
    kill -0 "$mailbox_pid" 2>/dev/null || break
    sleep 0.1
  done
  mailbox_pid=
  return 1
}

# The port is fixed by the build, and a connection that just ended on it
# can hold it for up to a minute (TCP's TIME-WAIT), so a refused start is
# tried again for a while.
for _ in $(seq 70); do
  start_mailbox && break
  grep -q "in use" "$work/mailbox.out" || break
  sleep 1
done
if [ -z "$mailbox_pid" ]; then
  echo "the mailbox did not start on port $mail_port:" >&2
  cat "$work/mailbox.out" >&2
  exit 1
fi

memcheck_error=99
failures=0

# check NAME WANT_STATUS WANT_OUTPUT BODY [VAR=value...]: runs the program
# with exactly these CGI variables and BODY on standard input.
check() {
  local name=$1 want_status=$2 want_output=$3 body=$4
  shift 4
  local status=0
  printf '%s' "$body" | (cd "$work" && env -i "$@" "$valgrind" --tool=memcheck --leak-check=full \
      --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \
      --error-exitcode="$memcheck_error" --log-file="$work/$name.valgrind" \
      "$program" >"$work/$name.out" 2>"$work/$name.err") || status=$?
  local verdict=ok
  if [ "$status" -eq "$memcheck_error" ]; then
    verdict="memcheck found errors"
  elif grep -q "total heap usage: 0 allocs" "$work/$name.valgrind"; then
    verdict="valgrind saw no heap: is the program linked statically?"
  elif [ "$status" -ne "$want_status" ]; then
    verdict="exit status $status, want $want_status"
  elif ! grep -qF -- "$want_output" "$work/$name.out" "$work/$name.err"; then
    verdict="no \"$want_output\" in its output"
  fi
  echo "$name: $verdict"
  if [ "$verdict" != ok ]; then
    failures=$((failures + 1))
    cat "$work/$name.valgrind" "$work/$name.out" "$work/$name.err" >&2
  fi
}

accepted='name=Ann+Lee&email=ann%40example.org&subject=Hello&message=Line+one%0D%0A.%0D%0Aline+two'
refused='name=Ann&email=not+an+address&subject=Hello&message=Hi'
long=$(head -c 3001 /dev/zero | tr '\0' 'a')

check accepted_post 0 "form_ok" "$accepted" \
  REQUEST_METHOD=POST CONTENT_LENGTH=${#accepted}
check accepted_get 0 "form_ok" "" REQUEST_METHOD=GET "QUERY_STRING=$accepted"
check refused 0 "form_error" "$refused" REQUEST_METHOD=POST CONTENT_LENGTH=${#refused}
check no_method 1 "Must run as a cgi" ""
check no_length 1 "CONTENT_LENGTH = null" "a=1" REQUEST_METHOD=POST
check too_long 1 "too long" "$long" REQUEST_METHOD=POST CONTENT_LENGTH=3001
check zero_length 1 "Unable to read" "a=1" REQUEST_METHOD=POST CONTENT_LENGTH=0
check short_body 1 "Unable to read" "a=1" REQUEST_METHOD=POST CONTENT_LENGTH=10
check get_too_long 1 "too long" "" REQUEST_METHOD=GET "QUERY_STRING=$long"

# The two accepted requests went the whole way: both were logged. The mails
# are counted for the record only; their content is the mail tests' business.
records=$(cat "$work/log/request_form.log" 2>/dev/null | wc -l)
mails=$(cat "$work/mail.json" 2>/dev/null | wc -l)
echo "log records: $records (want 2), mails received: $mails"
[ "$records" -eq 2 ] || failures=$((failures + 1))

[ "$failures" -eq 0 ]
