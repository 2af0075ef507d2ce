#!/usr/bin/env bash
# Decoding speed and memory beside the peers, measured side by side in each run on the same files:
#   - a random file UUencoded by sharutils uuencode, in a mail: ostrel-cli decode (which makes
#     the file durable) against copying the decoded bytes to a durable file (cp, then sync of
#     that file) and against sharutils uudecode followed by sync of its output;
#   - the same encoded lines cut into 1000 mails (headers, a line of text and a signature around
#     each share), joined by ostrel-cli decode, against our own single-mail rate;
#   - the file as a base64 MIME attachment: ours against coreutils base64 -d and munpack (each
#     followed by sync of its output).
# Each figure is the median of OSTREL_BENCH_RUNS runs (5), with the range; the size is
# OSTREL_BENCH_MIB (64). Every decoded file is compared with the original. Peak memory is the
# largest resident set over the runs (GNU time).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
mib=${OSTREL_BENCH_MIB:-64}
runs=${OSTREL_BENCH_RUNS:-5}
build=${OSTREL_BENCH_BUILD:-$root/build/bench-decode}

for tool in uuencode uudecode munpack base64 split sync /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "missing $tool (Debian packages: sharutils, mpack, coreutils, time)" >&2; exit 1; }
done

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_GUI=OFF >/dev/null
cmake --build "$build" -j2 --target ostrel-cli >/dev/null
cli="$build/bin/ostrel-cli"

work=$(mktemp -d "${OSTREL_BENCH_DIR:-$root/build}/bench-decode.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
# The program folder of the measured command: its log goes here, not beside the build.
export OSTREL_HOME="$work/home"
mkdir -p "$OSTREL_HOME"
head -c $((mib << 20)) /dev/urandom > rand.bin
uuencode rand.bin rand.bin > rand.uue
{ printf 'From: server@bymail.example\nSubject: rand.bin\n\n'; cat rand.uue; printf '\n-- \nByMail\n'; } > uu.eml

# 1000 mails, each with headers, a line of text and a signature around its share of the lines.
split -n l/1000 -d -a 4 rand.uue chunk.
i=0
for chunk in chunk.*; do
    i=$((i + 1))
    { printf 'From: server@bymail.example\nTo: you@example.org\nSubject: rand.bin (%d/1000)\n\n' "$i"
      printf 'Part %d follows.\n\n' "$i"; cat "$chunk"; printf '\n-- \nByMail server\n'; } > "part.$(printf %04d "$i")"
done
rm chunk.*

base64 -w 76 rand.bin > rand.b64
{ printf 'MIME-Version: 1.0\nSubject: rand.bin\nContent-Type: multipart/mixed; boundary="XyZ"\n\n--XyZ\n'
  printf 'Content-Type: text/plain\n\nYour file.\n--XyZ\n'
  printf 'Content-Type: application/octet-stream; name="rand.bin"\nContent-Transfer-Encoding: base64\n\n'
  cat rand.b64; printf -- '--XyZ--\n'; } > b64.eml

# Every input once, so that all of them start from the page cache alike.
cat uu.eml part.* b64.eml rand.b64 rand.bin > /dev/null

declare -A times mem
# One timed run of a command that must leave out/rand.bin equal to the original.
measure() {
    local name=$1; shift
    rm -rf out; mkdir out
    # Wall time from bash's clock in microseconds (GNU time's own counts in hundredths, too
    # coarse for runs of a fifth of a second); GNU time for the peak memory.
    local start end m t
    start=$EPOCHREALTIME
    /usr/bin/time -f '%M' -o time.txt "$@" >/dev/null 2>err.txt || { cat err.txt >&2; exit 1; }
    end=$EPOCHREALTIME
    cmp -s rand.bin out/rand.bin || { echo "$name: decoded file differs from the original" >&2; exit 1; }
    read -r m < time.txt
    t=$(awk "BEGIN {printf \"%.4f\", $end - $start}")
    times[$name]="${times[$name]:-} $t"
    [ "$m" -gt "${mem[$name]:-0}" ] && mem[$name]=$m
    return 0
}

# The machine may be shared: its load beside the figures tells how far to trust their spread.
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
names=(cp+sync ours-uu uudecode+sync ours-join1000 ours-base64 base64-d+sync munpack+sync)
for _ in $(seq "$runs"); do
    measure cp+sync sh -c 'cp rand.bin out/rand.bin && sync out/rand.bin'
    measure ours-uu "$cli" decode --out out uu.eml
    measure uudecode+sync sh -c 'uudecode -o out/rand.bin uu.eml && sync out/rand.bin'
    measure ours-join1000 "$cli" decode --out out part.*
    measure ours-base64 "$cli" decode --out out b64.eml
    measure base64-d+sync sh -c 'base64 -d rand.b64 > out/rand.bin && sync out/rand.bin'
    measure munpack+sync sh -c 'cd out && munpack -q -f ../b64.eml >/dev/null && sync rand.bin'
done

median() { printf '%s\n' $1 | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
lowest() { printf '%s\n' $1 | sort -n | head -n 1; }
highest() { printf '%s\n' $1 | sort -n | tail -n 1; }
ratio() { awk "BEGIN {printf \"%.2f\", $1 / $2}"; }

echo "load average (1, 5, 15 min) before: $load_before, after: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
echo "decoded size: $mib MiB; inputs: uu mail $(stat -c %s uu.eml), 1000 parts $(cat part.* | wc -c), base64 mail $(stat -c %s b64.eml) bytes; runs: $runs"
printf '%-16s %10s %17s %10s %12s\n' name median range MiB/s peak-MiB
declare -A med
for n in "${names[@]}"; do
    med[$n]=$(median "${times[$n]}")
    printf '%-16s %10s %8s..%-8s %10.1f %12.1f\n' "$n" "${med[$n]}" "$(lowest "${times[$n]}")" "$(highest "${times[$n]}")" \
        "$(awk "BEGIN {print $mib / ${med[$n]}}")" "$(awk "BEGIN {print ${mem[$n]} / 1024}")"
done
# Ratios per run as well, so that a drift of the machine between runs shows as a range.
per_run() {
    local a=($1) b=($2) out=()
    for k in "${!a[@]}"; do out+=("$(ratio "${a[$k]}" "${b[$k]}")"); done
    printf '%s\n' "${out[@]}" | sort -n | awk '{a[NR]=$1} END {printf "%s (range %s..%s)", a[int((NR+1)/2)], a[1], a[NR]}'
}
echo
echo "uu: ours takes $(per_run "${times[ours-uu]}" "${times[cp+sync]}")x the time of cp+sync (aim <= 1.5)"
echo "uu: uudecode+sync takes $(per_run "${times[uudecode+sync]}" "${times[ours-uu]}")x our time (aim >= 1.5)"
echo "join of 1000 parts: our single-mail time is $(per_run "${times[ours-uu]}" "${times[ours-join1000]}") of the join's, i.e. the join's rate relative to one mail (aim >= 0.90)"
echo "base64: base64 -d+sync takes $(per_run "${times[base64-d+sync]}" "${times[ours-base64]}")x our time, munpack+sync $(per_run "${times[munpack+sync]}" "${times[ours-base64]}")x"
echo "peak resident memory: uu $(awk "BEGIN {printf \"%.1f\", ${mem[ours-uu]} / 1024}") MiB, join $(awk "BEGIN {printf \"%.1f\", ${mem[ours-join1000]} / 1024}") MiB, base64 $(awk "BEGIN {printf \"%.1f\", ${mem[ours-base64]} / 1024}") MiB (aim < 64 MB for $mib MiB)"
