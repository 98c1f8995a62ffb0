# Sourced by the host checks. start_echo_peer LOG [SOCAT-OPTION] starts a
# socat echo peer on 127.0.0.1 at a port of the system's choosing, read
# from its log, and sets `peer` (its pid) and `port`; a peer that does not
# come up goes to the caller's fail().
start_echo_peer() {
  socat -d -d "TCP-LISTEN:0,bind=127.0.0.1${2:+,$2}" PIPE 2>"$1" &
  peer=$!
  port=
  for _ in $(seq 100); do
    port=$(sed -n 's/.*listening on AF=2 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$1")
    [[ -n $port ]] && break
    sleep 0.05
  done
  [[ -n $port ]] || fail "echo peer did not start: $(cat "$1")"
}
