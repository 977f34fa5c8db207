// The serial port layer: one serial port per process, held in program-wide state,
// behind plain functions with integer results (0 success, -1 failure or nothing
// there, unless a function says it passes the platform's own value through).
//
// Ports are named by number. On Windows port n is "COMn", then "\\.\COMn". On POSIX
// systems port n is the file "COMn" in the current directory (a symlink to a device
// or to a pty), then the native device /dev/ttyS<n-1>. The second name is tried
// only when the first does not exist: a port that exists but cannot be opened
// (held by another program, no permission) is a failure.
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
// Writes `count` bytes as one unit and never waits for the line; the buffer may be
// reused when it returns. A frame is never cut on the line: bytes the driver
// cannot take yet are held, up to 4096 bytes, and sent on whole and in order by
// the layer itself as the driver makes room; a write that would go past that is
// dropped whole.
// Nonzero when the system took every byte at once; otherwise a Windows error code,
// never 0 or 1, the same on every platform:
//   997 ERROR_IO_PENDING   taken or held, still being written
//   170 ERROR_BUSY         the held bytes would pass 4096: dropped whole
//     6 ERROR_INVALID_HANDLE        no port open (POSIX: EBADF)
//  1167 ERROR_DEVICE_NOT_CONNECTED  the other end or the device has gone (EIO,
//                                   ENXIO, ENODEV, EPIPE)
//    87 ERROR_INVALID_PARAMETER     (EINVAL, EFAULT)
//     8 ERROR_NOT_ENOUGH_MEMORY     (ENOMEM, ENOBUFS)
//    31 ERROR_GEN_FAILURE           any other failure
int ComWrite(const void* buffer, std::uint32_t count);
// Writes the low 8 bits of `value`: nonzero if the write completed at once, else 0.
int ComWriteByte(int value);
// The output queue: the driver's and the bytes the layer holds before it. Both
// reach 0 once the line has taken everything, without further calls.
int ComTxBusy();             // 1 if bytes wait in the output queue, else 0
std::uint32_t ComTxCount();  // bytes waiting in the output queue
// Discards both queues, the held output included; nonzero on success, 0 on failure.
int ComPurge();

// Receive handler: called on the monitor thread with the count of waiting input
// bytes when bytes arrive; nullptr removes it. The monitor watches arriving bytes
// only while a handler is installed.
void ComSetRxHandler(void (*pfnRxHandler)(std::uint32_t cbInQue));

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
