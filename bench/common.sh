# Sourced by the benchmark scripts: a logger on /dev/log, medians and peak RSS. start_logger
# puts a throwaway logger on /dev/log when the machine has none, so that every record is really
# sent, as on a real system; stop_logger takes it away again. Needs python3 and the right to
# create /dev/log.
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

# The median of the numbers on standard input, one a line.
median() { sort -g | awk '{v[NR] = $1} END {print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# Peak RSS in KiB of the command given, median of five runs (needs GNU time).
peak_rss() {
  for _ in 1 2 3 4 5; do
    /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1
  done | median
}
