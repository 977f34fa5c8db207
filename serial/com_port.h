// The serial port layer: one serial port per process, held in program-wide state,
// behind plain functions with integer results (0 success, -1 failure or nothing
// there, unless a function says it passes the platform's own value through).
//
// Ports are named by number. On Windows port n is "COMn", then "\\.\COMn". On POSIX
// systems port n is the file "COMn" in the current directory (a symlink to a device
// or to a pty), then the native device /dev/ttyS<n-1>.
#pragma once

#include <cstdint>

// Opening and closing.
// Opens port number `port` exclusively with the given line settings (parity letter
// 'N', 'O', 'E', 'M' or 'S'; any other value means none; stop bits 1 or 2) and starts
// the monitor thread. Any open port is closed first. 0, or -1 with nothing left open.
int ComOpen(std::uint32_t port, std::uint32_t baud, int parity, int dataBits, int stopBits);
// Opens the device at path `name` as given, shared, keeping its line settings;
// reads and writes on it complete before they return. 0 or -1. The caller closes
// any open port first.
int ComOpenDevice(const char* name);
// ComOpen again with the settings of the last ComOpen call, successful or not.
int ComReopen();
// Stops the monitor thread and closes the port; harmless when nothing is open.
void ComClose();

// Input.
std::uint32_t ComRxCount();  // bytes waiting in the input queue
int ComRxReady();            // 1 if at least one byte is waiting, else 0
int ComReadByte();           // next byte 0-255, or -1 if none is waiting or none could be read
// Reads up to `count` bytes into `buffer` (callers ask for at most ComRxCount()).
// 0 if at least one byte was read, -1 otherwise.
int ComRead(void* buffer, std::uint32_t count);

// Output.
// Writes `count` bytes as one unit; the buffer may be reused when it returns.
// Nonzero when the write completed at once, otherwise the platform's error code
// (ERROR_IO_PENDING, 997, for a write still in progress).
int ComWrite(const void* buffer, std::uint32_t count);
// Writes the low 8 bits of `value`: nonzero if the write completed at once, else 0.
int ComWriteByte(int value);
int ComTxBusy();             // 1 if bytes wait in the output queue, else 0
std::uint32_t ComTxCount();  // bytes waiting in the output queue
// Discards both queues; nonzero on success, 0 on failure.
int ComPurge();

// Modem control lines.
// RTS codes: 0 and 128 low; 1, 3 and 129 high; 2 hardware RTS toggling; any other
// code: high, recorded as that code. A request for the level already recorded is
// not sent again.
void ComSetRts(std::uint32_t code);
int ComSetDtr(int on);  // nonzero on success, 0 on failure
int ComBreakOn();       // nonzero on success, 0 on failure
int ComBreakOff();      // nonzero on success, 0 on failure
int ComReadCts();       // 1 if CTS is asserted, else 0
int ComReadDsr();       // 1 if DSR is asserted, else 0
