# Sourced by the benchmark scripts. start_logger puts a throwaway logger on /dev/log when the
# machine has none, so that every record is really sent, as on a real system; stop_logger takes
# it away again. Needs python3 and the right to create /dev/log.
listener=
start_logger() {
  [[ -e /dev/log ]] && return
  python3 -c 'import socket
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind("/dev/log")
while True:
    s.recv(65536)' &
  listener=$!
  for _ in $(seq 50); do [[ -S /dev/log ]] && break; sleep 0.1; done
}
stop_logger() {
  if [[ -n $listener ]]; then kill "$listener" 2>/dev/null || true; rm -f /dev/log; fi
}
