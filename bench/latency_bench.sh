#!/usr/bin/env bash
# The same mailing over a slow link: 1,000 messages of about 12 KB, each to
# its own recipient, sent to Postfix's smtp-sink through a link with a
# 20 ms round trip, by the program (tessaline-mailer -s) over one
# connection and over 8 (--connections 8), and by two peers in the same
# run: Python's smtplib over one connection
# (bench/smtplib_anchor.py) and nodemailer's pooled transport with 5
# connections (bench/nodemailer_anchor.js). The peers send the very text
# the program composes (taken from a dry run). Peers take turns round by
# round; the figures are medians: messages per second, the ratio of each
# peer's rate to the program's, and CPU seconds per 1,000 messages of the
# sending process (the sink and the link not counted).
#
#   bench/latency_bench.sh [BUILD_DIR]      (default: build)
#   LATENCY_BENCH_MESSAGES=1000 LATENCY_BENCH_ROUNDS=3 (the defaults)
#
# The link: a network namespace of its own whose loopback delays every
# packet by 10 ms (tc netem; needs root and the kernel's netem), made and
# removed by this script, with the sink and every sender inside it; where
# that cannot be made, a delaying proxy on 127.0.0.1 (bench/delay_proxy.py,
# 10 ms each way, order kept) in front of the sink. Everything runs on
# CPU 0. nodemailer is installed with npm under BUILD_DIR/bench/node the
# first time.
#
# Needs: postfix (smtp-sink), python3, node and npm, a built
# tessaline-mailer and tessaline-make-project; iproute2 for the namespace.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
messages=${LATENCY_BENCH_MESSAGES:-1000}
rounds=${LATENCY_BENCH_ROUNDS:-3}
delay_ms=10  # each way

program=$build/app/tessaline-mailer
make_project=$build/app/tessaline-make-project
for tool in "$program" "$make_project" /usr/sbin/smtp-sink; do
  [ -x "$tool" ] || { echo "latency_bench: $tool is missing" >&2; exit 1; }
done
command -v node >/dev/null && command -v npm >/dev/null ||
  { echo "latency_bench: node and npm are needed" >&2; exit 1; }

node_dir=$build/bench/node
if [ ! -d "$node_dir/node_modules/nodemailer" ]; then
  mkdir -p "$node_dir"
  npm install --prefix "$node_dir" --no-save --no-audit --no-fund nodemailer >/dev/null
fi

work=$(mktemp -d /tmp/tessaline-latency-XXXXXX)
namespace=""
pids=()
clean_up() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [ -n "$namespace" ] && ip netns del "$namespace" 2>/dev/null || true
  rm -rf "$work"
}
trap clean_up EXIT

# Runs a command on the link's side (inside the namespace when there is
# one), on CPU 0.
on_link() {
  if [ -n "$namespace" ]; then
    ip netns exec "$namespace" taskset -c 0 "$@"
  else
    taskset -c 0 "$@"
  fi
}

# Starts a server on the link's side, in the background, remembering its
# process id (ip netns exec and taskset both run the program in their own
# process, so the id is the server's).
start_server() {
  if [ -n "$namespace" ]; then
    ip netns exec "$namespace" taskset -c 0 "$@" >/dev/null 2>&1 &
  else
    taskset -c 0 "$@" >/dev/null 2>&1 &
  fi
  pids+=($!)
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

wait_for_file() {
  for _ in $(seq 100); do [ -s "$1" ] && return 0; sleep 0.1; done
  return 1
}

# The link: a namespace with netem on its loopback, else the proxy.
candidate=tessaline-latency-$$
if ip netns add "$candidate" 2>/dev/null; then
  namespace=$candidate
  if ! ip netns exec "$namespace" ip link set lo up 2>/dev/null ||
     ! ip netns exec "$namespace" tc qdisc add dev lo root netem delay "${delay_ms}ms" 2>/dev/null; then
    ip netns del "$namespace"
    namespace=""
  fi
fi

sink_port=$(free_port)
sink_args=(/usr/sbin/smtp-sink)
[ "$(id -u)" -eq 0 ] && sink_args+=(-u nobody)
sink_args+=("127.0.0.1:$sink_port" 256)
start_server "${sink_args[@]}"
sleep 0.5
if [ -n "$namespace" ]; then
  link="network namespace, netem ${delay_ms} ms each way on its loopback"
  port=$sink_port
else
  start_server python3 "$here/delay_proxy.py" 0 "$sink_port" "$delay_ms" "$work/proxy_port"
  wait_for_file "$work/proxy_port" || { echo "latency_bench: the delaying proxy did not start" >&2; exit 1; }
  port=$(cat "$work/proxy_port")
  link="delaying proxy on 127.0.0.1 (no netem here), ${delay_ms} ms each way"
fi

# The mailing: a project with a 12 KB body and its recipients in a file.
export TESSALINE_HOME=$work/home
mkdir -p "$TESSALINE_HOME"
printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Tessaline\\Loomwork]\r\n"SMTP_Server"="127.0.0.1"\r\n' \
  >"$TESSALINE_HOME/registry.reg"
python3 - "$work" "$messages" <<'EOF'
import sys
work, count = sys.argv[1], int(sys.argv[2])
with open(work + "/readers.txt", "w") as f:
    for i in range(count):
        f.write("rcpt%d@example.test\n" % i)
with open(work + "/body.txt", "w") as f:
    n = 0
    while f.tell() < 12000:
        f.write("Line %d of the letter, the same words for every reader of it.\n" % n)
        n += 1
EOF
(cd "$work" && "$make_project" news.zqj "from=Bench Sender <sender@example.test>" \
  "subject=Latency benchmark" use_body_file=yes body_file=body.txt \
  use_recipient_file=yes recipient_file=readers.txt "SendMode=No Preview" Recycle=yes \
  "SMTPport=$port" >/dev/null)
(cd "$work" && HOME=$work XDG_CONFIG_HOME=$work on_link "$program" -s --dry-run "$work/dry" \
  --limit 1 news 2>/dev/null) || true
message=$work/dry/000001.eml
[ -s "$message" ] || { echo "latency_bench: the dry run wrote no message" >&2; exit 1; }

# One timed run of a peer: "wall user sys" seconds, including its children.
timed() {
  local TIMEFORMAT='%R %U %S'
  { time "$@" >/dev/null 2>"$work/last_error" ; } 2>&1 ||
    { echo "latency_bench: failed: $*" >&2; cat "$work/last_error" >&2; exit 1; }
}
program_run() {
  (cd "$work" && HOME=$work XDG_CONFIG_HOME=$work on_link "$program" -s news)
}
program8_run() {
  (cd "$work" && HOME=$work XDG_CONFIG_HOME=$work on_link "$program" -s --connections 8 news)
}
smtplib_run() { on_link python3 "$here/smtplib_anchor.py" "$port" "$messages" "$message"; }
nodemailer_run() {
  NODE_PATH=$node_dir/node_modules on_link node "$here/nodemailer_anchor.js" "$port" "$messages" \
    "$message" 5
}

peers=(program program8 smtplib nodemailer)
declare -A label=(
  [program]="tessaline-mailer -s, 1 connection"
  [program8]="tessaline-mailer -s, 8 connections"
  [smtplib]="Python smtplib, 1 connection"
  [nodemailer]="nodemailer pool, 5 connections"
)

echo "$messages messages of $(wc -c <"$message") bytes to smtp-sink, 20 ms round trip:"
echo "  $link; $rounds rounds, peers alternated"
for peer in "${peers[@]}"; do : >"$work/$peer.times"; done
for round in $(seq "$rounds"); do
  line="round $round:"
  for peer in "${peers[@]}"; do
    timed "${peer}_run" >"$work/time"
    read -r wall user sys <"$work/time"
    echo "$wall $user $sys" >>"$work/$peer.times"
    line+=$(awk -v n="$messages" -v w="$wall" -v p="$peer" 'BEGIN { printf "  %s %.1f msg/s", p, n / w }')
  done
  echo "$line"
done

median() {  # the median of column $1 of a times file
  awk -v c="$1" '{ print $c }' "$2" | sort -g | awk '{ v[NR] = $1 }
    END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
echo
program_rate=$(awk -v n="$messages" -v w="$(median 1 "$work/program.times")" 'BEGIN { print n / w }')
for peer in "${peers[@]}"; do
  wall=$(median 1 "$work/$peer.times")
  cpu=$(awk '{ print $2 + $3 }' "$work/$peer.times" | sort -g |
        awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }')
  awk -v n="$messages" -v w="$wall" -v c="$cpu" -v l="${label[$peer]}" -v p="$program_rate" 'BEGIN {
    printf "%-36s %7.1f messages/s  %.3f CPU s per 1,000 messages  program / it = %.2f\n",
      l, n / w, c * 1000 / n, p / (n / w) }'
done
rate_of() { awk -v n="$messages" -v w="$(median 1 "$work/$1.times")" 'BEGIN { print n / w }'; }
echo
awk -v a="$(rate_of program8)" -v b="$(rate_of smtplib)" -v c="$(rate_of nodemailer)" \
    -v d="$(rate_of program)" 'BEGIN {
  printf "RATIO program, 8 connections / smtplib = %.2f (goal 30)\n", a / b
  printf "RATIO program, 8 connections / nodemailer = %.2f (goal 5)\n", a / c
  printf "RATIO program, 1 connection / smtplib = %.2f (goal 3)\n", d / b
  printf "(8 connections at one round trip each per message: at most %.0f messages/s here)\n", 8 / 0.020
}'
