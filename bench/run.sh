#!/usr/bin/env bash
# Times parse_bin against cat doing the same job, on two inputs of SIZE_MIB each.
#
#   bench/run.sh [SIZE_MIB [ROUNDS [WORK_DIR]]]     defaults: 256 5 build/bench
#
# Each round gives every contender fresh inputs (hard links to the data files, so deleting
# them costs nothing and the page cache stays warm), flushes the machine's dirty pages
# first, and alternates the order of the contenders. Prints the median wall time of each,
# the median of the per-round ratios of parse_bin to each peer, and parse_bin's peak
# resident memory (from /usr/bin/time). PARSE_BIN=path times another build of the tool;
# BENCH_VERBOSE=1 also prints every round's times.
set -euo pipefail
size_mib=${1:-256}
rounds=${2:-5}
root=$(cd "$(dirname "$0")/.." && pwd)
work=${3:-$root/build/bench}
tool=${PARSE_BIN:-$root/build/release/parse_bin}
[ -x "$tool" ] || { echo "build the tool first: cmake --workflow --preset release" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (apt-get install time)" >&2; exit 1; }

mkdir -p "$work"
cd "$work"
rm -f a b out data1 data2 expected.sum
head -c "$((size_mib << 20))" /dev/urandom > data1
head -c "$((size_mib << 20))" /dev/urandom > data2
expected=$(cat data1 data2 | md5sum)

contenders=(parse_bin cat_sync cat)
run_one() {
  case $1 in
    parse_bin) /usr/bin/time -f %M -o rss "$tool" a b out > /dev/null ;;
    cat_sync) sh -c 'cat a b > out && sync out && rm a b' ;;
    cat) sh -c 'cat a b > out && rm a b' ;;
  esac
}

declare -A times
peak=0
for ((round = 0; round < rounds; round++)); do
  for ((k = 0; k < ${#contenders[@]}; k++)); do
    name=${contenders[$(((k + round) % ${#contenders[@]}))]}
    rm -f out a b
    ln data1 a
    ln data2 b
    sync
    start=$(date +%s%N)
    run_one "$name"
    end=$(date +%s%N)
    [ ! -e a ] && [ ! -e b ] || { echo "$name left its inputs" >&2; exit 1; }
    if [ "$round" -eq 0 ] && [ "$(md5sum < out)" != "$expected" ]; then
      echo "$name wrote a wrong output" >&2
      exit 1
    fi
    times[$name]+="$(((end - start) / 1000)) "
    if [ "$name" = parse_bin ]; then
      rss=$(cat rss)
      [ "$rss" -gt "$peak" ] && peak=$rss
    fi
  done
done
rm -f a b out rss
[ -n "${BENCH_VERBOSE:-}" ] && for name in "${contenders[@]}"; do echo "$name: ${times[$name]}(us)"; done

median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
ratios() { paste -d' ' <(echo "${times[parse_bin]}" | tr ' ' '\n' | grep .) \
                       <(echo "${times[$1]}" | tr ' ' '\n' | grep .) | awk '{print $1 / $2}'; }

printf 'inputs: 2 x %d MiB, %d rounds, in %s\n' "$size_mib" "$rounds" "$work"
for name in "${contenders[@]}"; do
  printf '%-10s median %8.3f s\n' "$name" "$(echo "${times[$name]}" | median | awk '{print $1 / 1e6}')"
done
printf 'ratio parse_bin / (cat a b > out && sync out && rm a b): median %.3f\n' "$(ratios cat_sync | median)"
printf 'ratio parse_bin / (cat a b > out && rm a b):             median %.3f\n' "$(ratios cat | median)"
printf 'parse_bin peak memory: %d KiB\n' "$peak"
rm -f data1 data2
