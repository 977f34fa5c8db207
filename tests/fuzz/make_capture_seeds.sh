#!/usr/bin/env bash
# Writes the seed inputs of capture_fuzz into DIR: real captures of zolhost link
# (tests/fuzz/captures: a plain session, and one through drops, corruptions,
# delays and splits), and the texts of a header's link options, of reply tags and of steered changes.
set -euo pipefail
dir=${1:?usage: make_capture_seeds.sh DIR}
mkdir -p "$dir"
cp "$(dirname "$0")"/captures/*.pcapng "$dir"/
printf '%s' 'zol-link 2 pace=115200 drop=10 corrupt=5.5 delay=1-30 split=2 seed=7 mismatch=garble' >"$dir/link-options"
printf '%s' 'zol-link 2 pace=0 drop=0 corrupt=0 delay=0-0 split=-1 seed=18446744073709551615 mismatch=warn' >"$dir/link-plain"
printf '%s' 'zol-reply 12 corrupt=3:04 delay=5 split=4' >"$dir/reply-tag"
printf '%s' 'zol-reply 13 drop' >"$dir/reply-drop"
printf '%s' 'zol-faults from=3 pace=9600 drop=10 corrupt=0 delay=0-5 split=-1' >"$dir/faults-change"
printf '%s' 'zol-steer unplug from=12 taken=84 delivered=108' >"$dir/steer-change"
