#!/usr/bin/env bash
# Writes the seed inputs of telnet_port_fuzz into DIR: what telnet and RFC 2217 peers
# send. Input format (see telnet_port_fuzz.cpp): one byte, role in bit 0 (1: client)
# and piece size - 1 in bits 1-6, then the network bytes.
set -euo pipefail
dir=${1:?usage: make_telnet_seeds.sh DIR}
mkdir -p "$dir"

# seed NAME HEAD HEX...: writes the head byte and the bytes to DIR/NAME.
seed() {
    local name=$1; shift
    local out="" b
    for b in $*; do out+="\\x$b"; done
    printf "$out" >"$dir/$name"
}
sb() { printf 'FF FA 2C %s FF F0 ' "$*"; }

# pyserial's client opening, its settings, DTR, RTS, purges, a request.
seed pyserial-open 7E FF FD 01 FF FB 03 FF FD 03 FF FD 2C FF FB 2C FF FB 00 FF FD 00 \
    "$(sb 01 00 01 C2 00)" "$(sb 02 08)" "$(sb 03 01)" "$(sb 04 01)" "$(sb 05 01)" "$(sb 05 08)" "$(sb 05 0B)" \
    "$(sb 0C 01)" "$(sb 0C 02)" 02 00 00 00 00 03 FA
seed settings-ff 0E "$(sb 01 00 00 00 FF FF)" "$(sb 07)" "$(sb 0B FF FF)" "$(sb 00)" "$(sb 06)" "$(sb 08)" "$(sb 09)"
# A server's answers, to the client.
seed server-answers 11 FF FD 2C FF FB 01 FF FB 03 "$(sb 65 00 01 C2 00)" "$(sb 66 08)" "$(sb 67 01)" \
    "$(sb 68 01)" "$(sb 6B FF FF)" "$(sb 69 01)" 12 FF FF 00 00 00 00 00 13 EE
seed never-ends 7E FF FA 2C 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
seed cut-short 04 FF FA 2C 02 07 FF FB 18 FF FA 18 01 FF FF FF F0 41
seed iac-run 3E FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF
seed commands 02 FF F0 FF F1 FF F3 FF F4 FF F6 FF FC 00 FF FE 00 FF FC 2C FF FE 2C FF FB 2C FF FD 2C
seed crlf 00 0D 00 0D 0A 00 0D FF FF 0D
