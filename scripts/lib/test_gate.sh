# Sourced by scripts/demo and scripts/bench: the local test gate program
# serving an enrolled agent's vault on 127.0.0.1 for the length of a script.
#
#   test_gate_start PROGRAM DIR   starts PROGRAM --dir DIR --enrol --seed-demo,
#                                 waits for its enrolment file (DIR/enrolment)
#                                 and trusts its CA (SSL_CERT_FILE=DIR/ca.pem)
#   test_gate_stop                closes its input, which ends it, and waits
#   test_gate_kill                the same for an exit trap: kills it first
#
# The gate serves until its standard input closes: a fifo in DIR's parent,
# held open on descriptor 3.

gate_pid=""

test_gate_start() {
  local program=$1 dir=$2
  local fifo
  fifo=$(dirname "$dir")/gate.in
  mkfifo "$fifo"
  "$program" --dir "$dir" --enrol --seed-demo <"$fifo" &
  gate_pid=$!
  exec 3>"$fifo"
  for _ in $(seq 1 200); do
    [ -s "$dir/enrolment" ] && break
    sleep 0.05
  done
  [ -s "$dir/enrolment" ] || { echo "$(basename "$0"): the test gate did not start" >&2; exit 1; }
  export SSL_CERT_FILE=$dir/ca.pem
}

test_gate_stop() {
  # Closing descriptor 3 again is harmless. (A redirection of stderr here
  # would stay on the whole script: this is `exec` without a command.)
  exec 3>&-
  [ -n "$gate_pid" ] && { wait "$gate_pid" 2>/dev/null || true; }
  gate_pid=""
}

test_gate_kill() {
  [ -n "$gate_pid" ] && kill "$gate_pid" 2>/dev/null
  test_gate_stop
}
