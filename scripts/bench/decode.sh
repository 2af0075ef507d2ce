#!/usr/bin/env bash
# Decoding speed and memory beside the peers, in one run on the same files:
#   - a random file UUencoded by sharutils uuencode, in a mail: ours (parser load from file and
#     save attachment) against uudecode;
#   - the same encoded lines cut into 1000 mails and joined by the decoder wizard (cleaning,
#     temporary file, parse, save), against our own single-mail rate;
#   - the file as a base64 MIME attachment: ours against coreutils base64 -d and munpack.
# Each figure is the median of OSTREL_BENCH_RUNS runs (5); the size is OSTREL_BENCH_MIB (64).
# Every decoded file is compared with the original.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
mib=${OSTREL_BENCH_MIB:-64}
runs=${OSTREL_BENCH_RUNS:-5}
build=${OSTREL_BENCH_BUILD:-$root/build/bench-decode}

for tool in uuencode uudecode munpack base64 split /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "missing $tool (Debian packages: sharutils, mpack, coreutils, time)" >&2; exit 1; }
done

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_GUI=OFF >/dev/null
cmake --build "$build" -j2 --target decode_bench >/dev/null
bench="$build/bench/decode_bench"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
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

input_uu=$(stat -c %s uu.eml)
input_b64=$(stat -c %s b64.eml)
input_parts=$(cat part.* | wc -c)

# median SECONDS and max KiB of a command over the runs; the command writes out/rand.bin.
measure() {
    local name=$1; shift
    local times=() mem=0
    for _ in $(seq "$runs"); do
        rm -rf out; mkdir out
        /usr/bin/time -f '%e %M' -o time.txt "$@" >/dev/null 2>err.txt || { cat err.txt >&2; exit 1; }
        cmp -s rand.bin out/rand.bin || { echo "$name: decoded file differs from the original" >&2; exit 1; }
        read -r t m < time.txt
        times+=("$t")
        [ "$m" -gt "$mem" ] && mem=$m
    done
    local median
    median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
    echo "$name $median $mem"
}

results=()
results+=("$(measure ours-uu "$bench" --decode uu.eml out)")
results+=("$(measure uudecode uudecode -o out/rand.bin uu.eml)")
results+=("$(measure ours-join1000 sh -c "\"$bench\" --join out part.*")")
results+=("$(measure ours-base64 "$bench" --decode b64.eml out)")
results+=("$(measure base64-d sh -c 'base64 -d rand.b64 > out/rand.bin')")
results+=("$(measure munpack sh -c 'cd out && munpack -q -f ../b64.eml')")

echo "decoded size: $mib MiB; inputs: uu mail $input_uu, 1000 parts $input_parts, base64 mail $input_b64 bytes; runs: $runs"
printf '%-16s %10s %10s %12s\n' name seconds MiB/s peak-MiB
declare -A sec mem
for r in "${results[@]}"; do
    read -r n t m <<<"$r"
    sec[$n]=$t; mem[$n]=$m
    printf '%-16s %10s %10.1f %12.1f\n' "$n" "$t" "$(awk "BEGIN {print $mib / $t}")" "$(awk "BEGIN {print $m / 1024}")"
done
ratio() { awk "BEGIN {printf \"%.2f\", $1 / $2}"; }
echo
echo "uu: ours is $(ratio "${sec[uudecode]}" "${sec[ours-uu]}")x uudecode (aim >= 3)"
echo "base64: ours is $(ratio "${sec[base64-d]}" "${sec[ours-base64]}")x base64 -d (aim >= 4), $(ratio "${sec[munpack]}" "${sec[ours-base64]}")x munpack"
echo "join of 1000 parts: $(awk "BEGIN {printf \"%d\", 100 * ${sec[ours-uu]} / ${sec[ours-join1000]}}")% of the single-mail rate (aim >= 90)"
echo "memory / input: uu $(ratio $(( ${mem[ours-uu]} * 1024 )) "$input_uu"), join $(ratio $(( ${mem[ours-join1000]} * 1024 )) "$input_parts"), base64 $(ratio $(( ${mem[ours-base64]} * 1024 )) "$input_b64") (aim <= 2)"
