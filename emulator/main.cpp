// zolemul: plays a Zol device at the end of a serial link. Opens port 2 at 115200
// baud 8N1, answers every good request, reports each on one status line, and ends
// when a key is pressed. Exit status 0, or -1 when the port cannot be opened.
#include <cstdint>

#include "emulator/console.h"
#include "emulator/frames.h"
#include "protocol/frame_rules.h"
#include "protocol/status_text.h"
#include "serial/com_port.h"

namespace {

const int nComPort = kDevicePort;

}  // namespace

int main() {
    std::uint32_t nFrames = 0;
    if (ComOpen(static_cast<std::uint32_t>(nComPort), kDeviceBaud, kDeviceParity, kDeviceDataBits, kDeviceStopBits) != 0) {
        return -1;
    }
    ConsoleStart();
    ConsolePrint(kStartLineFormat, nComPort);
    ConsoleFlush();
    for (;;) {
        const bool fAnswered = ReceiveRequest() >= 0;
        if (fAnswered) {
            ConsolePrint(kFrameCountFormat, nFrames++);
            EA = ReplyEa(TORA);
            SendReply();
            ConsolePrint(kFrameImageFormat, EA, TORA);
        }
        if (ConsoleKeyHit()) {
            break;
        }
        if (!fAnswered) {
            ConsoleIdle();  // no frame this pass: text that is due, then let others run
        }
    }
    ConsoleGetKey();
    ComClose();
    ConsoleStop();  // text still waiting gets a moment to go out
    return 0;
}
