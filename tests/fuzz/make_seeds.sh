#!/usr/bin/env bash
# Writes the seed inputs of frame_reader_fuzz into DIR, built from the frame rules:
# request = 02 d1 d2 d3 d4 03 checksum, the checksum making the byte sum 0x01.
# Input format (see frame_reader_fuzz.cpp): op byte (calls << 4 | count) followed by
# count bytes for the input queue; FF b makes reads fail after b % 16 reads (b < 80)
# or stop failing (b >= 80).
set -euo pipefail
dir=${1:?usage: make_seeds.sh DIR}
mkdir -p "$dir"

# req D1 D2 D3 D4 [END]: a request's bytes in hex, checksum computed.
req() {
    local sum=$((0x02 + 0x$1 + 0x$2 + 0x$3 + 0x$4 + 0x${5:-03}))
    printf '02 %s %s %s %s %s %02X' "$1" "$2" "$3" "$4" "${5:-03}" $(((1 - sum) & 0xFF))
}
# badsum D1 D2 D3 D4: a request whose checksum is one off.
badsum() {
    local sum=$((0x02 + 0x$1 + 0x$2 + 0x$3 + 0x$4 + 0x03))
    printf '02 %s %s %s %s 03 %02X' "$1" "$2" "$3" "$4" $(((2 - sum) & 0xFF))
}
# push CALLS HEX...: ops appending the bytes (15 at most per op), then CALLS calls.
push() {
    local calls=$1; shift
    local bytes=("$@")
    while [ ${#bytes[@]} -gt 15 ]; do
        printf '0F %s ' "${bytes[*]:0:15}"
        bytes=("${bytes[@]:15}")
    done
    printf '%X%X %s ' "$calls" "${#bytes[@]}" "${bytes[*]}"
}
# seed NAME HEX...: writes the bytes to DIR/NAME.
seed() {
    local name=$1; shift
    local out="" b
    for b in $*; do out+="\\x$b"; done
    printf "$out" >"$dir/$name"
}

seed good            "$(push 1 $(req 5A 01 02 03))"
seed good-zero       "$(push 1 $(req 00 00 00 00))"
seed start-in-data   "$(push 1 $(req 02 02 02 02))"
seed bad-end         "$(push 1 $(req 00 00 00 00 04))"
seed bad-checksum    "$(push 2 $(badsum 00 00 00 00) $(req 5A 01 02 03))"
seed noise-first     "$(push 1 10 11 AA $(req 44 00 00 00))"
seed noise-only      "$(push 1 10 11 12 13 14 15 16 17 18 19)"
seed back-to-back    "$(push 3 $(req 00 00 00 00) $(req 5A 01 02 03))"
seed six-then-one    "$(push 1 $(req 5A 01 02 03 | cut -d' ' -f1-6)) $(push 1 $(req 5A 01 02 03 | cut -d' ' -f7))"
seed bad-end-restart "$(push 2 02 00 00 00 00 04 $(req 44 00 00 00))"
seed byte-by-byte    "$(for b in $(req 7E 80 FF 01); do push 1 "$b"; done)"
seed data-then-noise "$(push 0 $(req 31 32 33 34)) $(push 4 02 02 02 02 02 02)"
for k in 0 1 2 5 6; do
    seed "fail-after-$k" "FF 0$k $(push 2 $(req 5A 01 02 03) $(req 00 00 00 00)) FF 80 $(push 1)"
done
