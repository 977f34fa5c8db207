# The benchmark's pyserial baseline: a short script that serves the device end of
# a link as a device would. zolhost runs it as: python3 -c SCRIPT DEVICE_PATH
# REPLIES, where REPLIES is the reply to every D1 in turn, in hex, as zolhost's
# frame rules build them.
import sys

import serial

replies = bytes.fromhex(sys.argv[2])
port = serial.Serial(sys.argv[1], 115200, bytesize=8, parity="N", stopbits=1, exclusive=True)
waiting = bytearray()
while True:
    waiting += port.read(port.in_waiting or 1)
    # Take frames only while a whole one could be waiting: 02 D1 D2 D3 D4 03 sum.
    while len(waiting) >= 7:
        if waiting[0] != 0x02:
            del waiting[0]
        elif waiting[5] != 0x03:
            del waiting[:6]
        else:
            if sum(waiting[:7]) & 0xFF == 0x01:
                port.write(replies[9 * waiting[1]:9 * waiting[1] + 9])
            del waiting[:7]
