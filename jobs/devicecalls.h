// The two things a station asks of a device through the SDK: take this identifier, and
// which identifier do you hold. Both block for as long as the SDK waits for an answer, so
// callers run them off the window's thread.
#pragma once

#include "store/records.h"

#include <QCoreApplication>
#include <QString>

namespace jobs {

struct BurnRow;

namespace devicecalls {

// The customer whose identifiers go to their device service with host and port (the other
// request form for every other customer).
constexpr int kUmeyeCustomerId = 1;

// The SDK's answer to a write: non-zero when the device says it took the identifier.
// Every text must fit its request field (the caller checked); nothing is cut here.
int write(const BurnRow &row, const CustomerRecord &customer);

// What a device said when asked which identifier it holds.
struct ReadBack {
    enum Result {
        Reported,    // `uuid` is what the device holds (empty: none)
        NoAnswer,    // the device did not answer, refused the login, or is not on the line
        Unsupported, // the SDK this program was built with cannot read identifiers back
    };
    Result result = NoAnswer;
    QString uuid;
};
ReadBack readBack(const QString &deviceSerial, const QString &user, const QString &password);

// False when the linked SDK has no read call: writes cannot be verified.
bool readBackSupported();

} // namespace devicecalls
} // namespace jobs
