// One claim in a process of its own, as a second station makes it: for the tests that need
// two connections claiming at the same moment (the store has one per process). Prints the
// claim's result: Claimed, Taken, DeviceHolds or Failed. It says "open" once the store is open
// and claims when a line arrives on its input, so the test decides the moment.
// Usage: tst_claims_child <folder holding the pool's settings> <identifier> <customer id> <device serial>
#include "store/datastore.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 5 || !QDir::setCurrent(QString::fromLocal8Bit(argv[1])))
        return 2;
    openDatabase();
    std::printf("open\n");
    std::fflush(stdout);
    char line[16];
    if (!std::fgets(line, sizeof line, stdin))
        return 3;
    static const char *const names[] = {"Claimed", "Taken", "DeviceHolds", "Failed"}; // ClaimResult's order
    ClaimResult result = ClaimResult::Failed;
    if (beginBatch()) {
        result = claimSerial(QString::fromUtf8(argv[2]), QString::fromLatin1(argv[3]).toInt(),
                             QString::fromUtf8(argv[4]), QStringLiteral("IPC"), QStringLiteral("10.0.0.2"));
        if (batchIsOpen() && !commitBatch() && result == ClaimResult::Claimed)
            result = ClaimResult::Failed;
    }
    std::printf("%s\n", names[int(result)]);
    closeDatabase();
    return 0;
}
