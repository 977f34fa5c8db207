/* A host program written with libserialport, as many are: it finds its port by
 * name, opens it (which asks for the modem lines), sets 115200 8N1, then sends
 * requests and reads each reply. Used by the tests of zolhost run.
 *
 * usage: serialport_probe PORT ROUNDS
 * Prints "good G signals CTS DSR DCD" (the input lines it saw) and exits 0 when
 * every reply was right; else says what failed and exits 1. */
#include <libserialport.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int Failed(const char* what) {
    char* text = sp_last_error_message();
    fprintf(stderr, "%s failed: %s\n", what, text != NULL ? text : "?");
    sp_free_error_message(text);
    return 1;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: serialport_probe PORT ROUNDS\n");
        return 2;
    }
    struct sp_port* port = NULL;
    if (sp_get_port_by_name(argv[1], &port) != SP_OK) return Failed("sp_get_port_by_name");
    if (sp_open(port, SP_MODE_READ_WRITE) != SP_OK) return Failed("sp_open");
    if (sp_set_baudrate(port, 115200) != SP_OK || sp_set_bits(port, 8) != SP_OK ||
        sp_set_parity(port, SP_PARITY_NONE) != SP_OK || sp_set_stopbits(port, 1) != SP_OK ||
        sp_set_flowcontrol(port, SP_FLOWCONTROL_NONE) != SP_OK) {
        return Failed("setting 115200 8N1");
    }
    enum sp_signal signals = 0;
    if (sp_get_signals(port, &signals) != SP_OK) return Failed("sp_get_signals");
    const int rounds = atoi(argv[2]);
    int good = 0;
    for (int i = 0; i < rounds; ++i) {
        unsigned char req[7] = {0x02, (unsigned char)i, 0, 0, 0, 0x03, 0};
        unsigned sum = 0;
        for (int k = 0; k < 6; ++k) sum += req[k];
        req[6] = (unsigned char)(1 - sum);
        if (sp_blocking_write(port, req, sizeof req, 1000) != (int)sizeof req) return Failed("sp_blocking_write");
        unsigned char reply[9];
        const int got = sp_blocking_read(port, reply, sizeof reply, 2000);
        const unsigned char want[8] = {0x12, (unsigned char)(i ^ 0xFF), 0, 0, 0, 0, 0, 0x13};
        if (got == (int)sizeof reply && memcmp(reply, want, sizeof want) == 0) {
            ++good;
        } else {
            fprintf(stderr, "reply %d: %d bytes, not the one owed\n", i, got);
        }
    }
    sp_close(port);
    sp_free_port(port);
    printf("good %d signals%s%s%s\n", good, (signals & SP_SIG_CTS) ? " CTS" : "", (signals & SP_SIG_DSR) ? " DSR" : "",
           (signals & SP_SIG_DCD) ? " DCD" : "");
    return good == rounds ? 0 : 1;
}
