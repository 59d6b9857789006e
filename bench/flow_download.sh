#!/usr/bin/env bash
# Times "Updater -G" of a 4 MB BIRD file from a local update-server on loopback:
# median wall time and the peak resident memory of the Updater process.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/bin
runs=${1:-5}
work=$(mktemp -d)
trap 'kill $server 2>/dev/null || true; rm -rf "$work"' EXIT

head -c $((4 * 1024 * 1024)) /dev/urandom > "$work/fw.bin"
mkdir -p "$work/root/40F5849A" "$work/store"
$bin/corvane-bird pack -o "$work/root/40F5849A/fw.bird" --build 1234 --version 2.12.2 \
  --model USBHub3p --firmware "$work/fw.bin@0x4000"
size=$(stat -c %s "$work/root/40F5849A/fw.bird")

$bin/update-server --root "$work/root" > "$work/ready" 2>/dev/null &
server=$!
for _ in $(seq 100); do grep -q ready "$work/ready" 2>/dev/null && break; sleep 0.05; done
url=$(awk '{print $3}' "$work/ready")

walls=()
peak=0
for _ in $(seq "$runs"); do
  rm -rf "$work/store/updater"
  /usr/bin/time -f '%e %M' -o "$work/t" $bin/Updater -i "$work/store" -G -d 40F5849A -u "$url" > /dev/null
  read -r wall kb < "$work/t"
  walls+=("$wall")
  [ "$kb" -gt "$peak" ] && peak=$kb
done
/usr/bin/time -f '%M' -o "$work/idle" $bin/Updater -i "$work/store" -Z 1 > /dev/null
idle=$(cat "$work/idle")
median=$(printf '%s\n' "${walls[@]}" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
echo "Updater -G of a $((size / 1024)) KiB BIRD file from update-server on loopback ($runs runs)"
echo "  median wall time  ${median} s"
echo "  peak memory       $((peak / 1024)) MiB ($(awk "BEGIN {printf \"%.1f\", $peak * 1024 / $size}") x the file)"
echo "  above an idle run $(((peak - idle) / 1024)) MiB ($(awk "BEGIN {printf \"%.1f\", ($peak - $idle) * 1024 / $size}") x the file; idle run $((idle / 1024)) MiB)"
