#!/usr/bin/env bash
# ffmpeg_pipe_test.sh: ffmpeg -> tessival -> ffmpeg through pipes, judged by ffmpeg's psnr filter
#
# ffmpeg renders a clean clip (testsrc2) and a noisy copy of it (the noise filter, whose seed is
# fixed); the noisy clip goes through tessival between two ffmpeg processes joined by pipes, and
# the psnr filter compares both the noisy input and the filtered output with the clean clip.
# Usage: ffmpeg_pipe_test.sh PATH/TO/tessival. Exits 77 (skipped) when ffmpeg is missing.
set -euo pipefail
tessival=$1
if ! command -v ffmpeg >/dev/null; then
  echo "ffmpeg not installed (scripts/setup installs it): skipping"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ff() { ffmpeg -hide_banner -nostdin -loglevel error -y "$@"; }

ff -f lavfi -i testsrc2=size=320x240:rate=25:duration=1 -pix_fmt yuv420p "$work/clean.y4m"
ff -i "$work/clean.y4m" -vf noise=c0s=24:c0f=t -pix_fmt yuv420p "$work/noisy.y4m"

# The pipeline as a user writes it, with an encoder-side ffmpeg reading tessival's stdout.
ff -i "$work/noisy.y4m" -f yuv4mpegpipe - |
  "$tessival" --quiet --range 2 --strength 60 - - |
  ff -f yuv4mpegpipe -i - -f yuv4mpegpipe "$work/out.y4m"

# The luma PSNR against the clean clip ("PSNR y:27.81 u:... v:...").
psnr() {
  ffmpeg -hide_banner -nostdin -i "$1" -i "$work/clean.y4m" -lavfi psnr -f null - 2>&1 |
    sed -n 's/.*PSNR y:\([0-9.inf]*\).*/\1/p' | tail -n 1
}
before=$(psnr "$work/noisy.y4m")
after=$(psnr "$work/out.y4m")
frames=$(grep -a -c FRAME "$work/out.y4m" || true)
echo "frames out: $frames; luma PSNR against the clean clip: noisy $before dB, filtered $after dB"
[ "$frames" -ge 25 ] || { echo "FAIL: expected 25 frames"; exit 1; }
awk -v b="$before" -v a="$after" 'BEGIN { exit !(a > b + 1.0) }' ||
  { echo "FAIL: the filtered clip is not closer to the clean one"; exit 1; }
echo "OK: +$(awk -v b="$before" -v a="$after" 'BEGIN { printf "%.2f", a - b }') dB"
