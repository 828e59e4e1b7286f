// Shared pieces of the libFuzzer targets: an input reader, the driver reset
// between inputs, one host exchange turn and the checks that must hold after
// every driver call whatever the input.
#ifndef KEMO_FUZZ_SUPPORT_H
#define KEMO_FUZZ_SUPPORT_H

#include "Driver_Internal.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace fuzz {

// Reads the input from the front; every read past its end yields zeros,
// so a short input is a complete one.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    uint8_t u8();
    uint16_t u16();
    int32_t i32();
    // Up to `n` bytes, fewer when the input ends.
    QByteArray bytes(size_t n);
    // A length byte, then that many bytes.
    QByteArray blob();
    // A unit count: two bytes, signed, scaled to -2048..2047 (a write of
    // n units costs n queue scans); a leading 0xFF instead gives an absurd
    // count (magnitude 2^25 or more) that the driver must refuse at once.
    int count();
    // An address text for `kind`: mostly well-formed, sometimes extreme or
    // arbitrary bytes.
    QString address(int kind);

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// The host record every target installs.
COM_INFO& host();

// Brings the driver back to the state of a freshly loaded library and
// installs a fresh host record and the harness callbacks.
void resetDriver();

// One turn of the host's loop: ComCommunication, then an answer shaped by
// the input (right length, arbitrary bytes, silence, counts that disagree
// with the bytes, no buffer) handed to DataCom. Checks everything after.
void exchange(Input& in);

// Aborts with a message when a property that holds for any input fails.
void require(bool ok, const char* what);

// The checks that hold between any two driver calls.
void checkInvariants();

}  // namespace fuzz

#endif
