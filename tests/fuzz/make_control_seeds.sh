#!/usr/bin/env bash
# Writes the seed inputs of control_http_fuzz into DIR: what the API's clients send.
# Input format (see control_http_fuzz.cpp): one byte, piece size - 1 in bits 0-5 and
# a token in bit 6, then the bytes a client sends.
set -euo pipefail
dir=${1:?usage: make_control_seeds.sh DIR}
mkdir -p "$dir"

h='Host: 127.0.0.1:8000\r\n'
j='Content-Type: application/json\r\n'
seed() { printf "$2" >"$dir/$1"; }
seed list '\x3fGET /api/devices HTTP/1.1\r\n'"$h"'\r\n'
seed faults '\x07POST /api/devices/1/faults HTTP/1.1\r\n'"$h$j"'Content-Length: 45\r\n\r\n{"drop_pct": 10, "delay_ms": [5, 20], "x": 1}'
seed chunked '\x02POST /api/devices/0/faults HTTP/1.1\r\n'"$h$j"'Transfer-Encoding: chunked\r\n\r\n5;a=b\r\n{"spl\r\nA\r\nit_ms": 2}\r\n0\r\nT: x\r\n\r\n'
seed pipelined '\x3fPOST /api/devices/2/unplug HTTP/1.1\r\n'"$h$j"'\r\nGET /api/devices/2 HTTP/1.1\r\n'"$h"'Connection: close\r\n\r\n'
seed token '\x7fGET /api/devices HTTP/1.1\r\n'"$h"'Authorization: bearer s3cret\r\nCookie: zol_token_8000=s3cret\r\n\r\n'
seed page '\x7fGET /?token=s3cret HTTP/1.0\r\n'"$h"'\r\nHEAD / HTTP/1.1\r\n'"$h"'\r\n'
seed forged '\x0fPOST /api/devices/0/freeze HTTP/1.1\r\nHost: evil.example:8000\r\nOrigin: http://evil.example\r\nContent-Type: text/plain\r\n\r\n'
