// libFuzzer target: ReceiveRequest over the recording fake, call after call. After
// every call its input counts and reads are checked, and what it did is compared
// with the receiver model on the same bytes.
//
// The input is a stream of ops. An op byte below 0xFF appends its low nibble of
// following bytes to the port's input queue, then makes (op >> 4) calls. Op 0xFF
// takes one more byte b: b < 0x80 makes reads fail after b % 16 more reads,
// otherwise reads stop failing. At the end the queue is drained.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "emulator/frames.h"
#include "serial/com_port.h"
#include "tests/fake_os.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void Fail(const char* what, int r, std::size_t consumed, const Bytes& q) {
    std::fprintf(stderr, "frame reader: %s (result %d, consumed %zu of %zu:", what, r, consumed, q.size());
    for (std::size_t i = 0; i < q.size() && i < 32; ++i) {
        std::fprintf(stderr, " %02X", q[i]);
    }
    std::fprintf(stderr, ")\n");
    std::abort();
}

fake::Device& Port() {
    static fake::Device& port = []() -> fake::Device& {
        fake::Reset();
        fake::Device& d = fake::AddDevice("COM2");
        if (ComOpen(2, 115200, 'N', 8, 1) != 0) {
            std::fprintf(stderr, "frame reader fuzz: cannot open the fake port\n");
            std::abort();
        }
        return d;
    }();
    return port;
}

// One ReceiveRequest call, checked.
int CheckedCall() {
    fake::Device& port = Port();
    const Bytes q(port.rx.begin(), port.rx.end());
    const std::size_t n = q.size();
    std::size_t f = 0;  // where the hunt must stop: the first start byte
    while (f < n && q[f] != kRequestStart) {
        ++f;
    }
    // TORA is set to a value the frame's first data byte cannot have, so a frame
    // that does not store it is seen.
    const std::uint8_t toraBefore = f + 1 < n ? static_cast<std::uint8_t>(~q[f + 1]) : 0xA5;
    TORA = toraBefore;
    port.transfers.clear();

    const int r = ReceiveRequest();

    const Bytes after(port.rx.begin(), port.rx.end());
    if (after.size() > n) {
        Fail("queue grew", r, 0, q);
    }
    const std::size_t c = n - after.size();
    for (std::size_t i = 0; i < after.size(); ++i) {
        if (after[i] != q[c + i]) {
            Fail("bytes left behind are not the tail of the queue", r, c, q);
        }
    }

    // Transfer log: reads stay within the last count, every hunt byte is read
    // under a fresh count of a whole frame, nothing is read after a failed read.
    std::int64_t credit = 0;
    bool freshCount = false;
    std::int32_t lastCount = 0;
    std::size_t reads = 0;
    std::size_t delivered = 0;
    bool failed = false;
    for (const fake::Transfer& t : port.transfers) {
        if (t.kind == fake::Transfer::Kind::Count) {
            credit = t.value;
            lastCount = static_cast<std::int32_t>(t.value);
            freshCount = true;
            continue;
        }
        if (failed) {
            Fail("read after a failed read", r, c, q);
        }
        if (credit < static_cast<std::int64_t>(t.value)) {
            Fail("read beyond what the last count promised", r, c, q);
        }
        credit -= t.value;
        if (reads <= f && (!freshCount || lastCount < static_cast<std::int32_t>(kRequestSize))) {
            Fail("hunt byte read without a fresh count of a whole frame", r, c, q);
        }
        freshCount = false;
        ++reads;
        delivered += t.delivered;
        failed = t.delivered == 0;
    }
    if (delivered != c) {
        Fail("bytes consumed differ from bytes delivered", r, c, q);
    }

    if (failed) {
        // A failed read ends the call: -1, nothing taken past the frame it was in,
        // TORA stored only if data byte 1 was read.
        const bool framed = f + kRequestSize <= n;
        if (r != kRequestIncomplete) {
            Fail("a failed read did not end the call with -1", r, c, q);
        }
        if (c > f && (!framed || c >= f + kRequestSize)) {
            Fail("failed call consumed past its frame", r, c, q);
        }
        const std::uint8_t toraWanted = c > f + 1 ? q[f + 1] : toraBefore;
        if (TORA != toraWanted) {
            Fail("TORA is not the first data byte of the frame read", r, c, q);
        }
        return r;
    }

    // Reads that all succeed: the reader does what the receiver model does to the
    // same bytes.
    const ReceiveStep want = ReceiveOnBytes(q.data(), n);
    if (r != want.result) {
        Fail("result differs from the receiver model's", r, c, q);
    }
    if (c != want.taken) {
        Fail("bytes taken differ from the receiver model's", r, c, q);
    }
    if (TORA != (r != kRequestIncomplete ? want.d1 : toraBefore)) {
        Fail("TORA is not the first data byte of the frame taken", r, c, q);
    }
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fake::Device& port = Port();
    port.rx.clear();
    port.readsBeforeFailure = -1;
    port.logTransfers = true;

    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t op = data[i++];
        if (op == 0xFF) {
            if (i < size) {
                const std::uint8_t b = data[i++];
                port.readsBeforeFailure = b < 0x80 ? b % 16 : -1;
            }
            continue;
        }
        for (std::size_t k = 0; k < (op & 0x0Fu) && i < size; ++k) {
            port.rx.push_back(data[i++]);
        }
        for (int k = 0; k < op >> 4; ++k) {
            CheckedCall();
        }
    }

    // Drain: every call on seven or more waiting bytes consumes at least one.
    port.readsBeforeFailure = -1;
    const std::size_t bound = port.rx.size() + 2;
    for (std::size_t k = 0;; ++k) {
        if (k == bound) {
            std::fprintf(stderr, "frame reader: the queue does not drain (%zu bytes left)\n", port.rx.size());
            std::abort();
        }
        if (CheckedCall() == kRequestIncomplete && port.rx.size() < kRequestSize) {
            break;
        }
    }
    return 0;
}
