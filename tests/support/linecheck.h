// The pool's promise checked against simulated lines, for the suites that burn them.
#pragma once

#include "platform/devicesim/simprocess.h"
#include "tests/support/testsupport.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <QStringList>

namespace testsupport {

// What the lines hold against what the pool says; empty when they agree: no identifier in two
// devices, no device written twice (but for writes it lost or changed, which are sent again),
// every identifier a device holds used for exactly that device (or pending for it while not
// `finished`; while not `finished`, a device that changed a write may hold a value the pool
// does not know, if the pool holds one pending for it), nothing used (or, once `finished`,
// pending) that its device does not hold, and, once `finished`, every device written.
inline QStringList disagreements(const QList<const devicesim::SimProcess *> &lines, bool finished)
{
    QStringList out;
    QHash<QString, QString> holderOf; // identifier -> device
    QHash<QString, QString> heldBy;   // device -> identifier
    QSet<QString> changedWrites;      // devices that kept a write changed at least once
    for (const devicesim::SimProcess *line : lines) {
        const QJsonArray devices = line->devices();
        for (const QJsonValue &v : devices) {
            const QJsonObject d = v.toObject();
            const QString serial = d.value(QStringLiteral("serial")).toString();
            const QString uuid = d.value(QStringLiteral("uuid")).toString();
            const int lost = d.value(QStringLiteral("forgotten")).toInt()
                + d.value(QStringLiteral("corrupted")).toInt();
            if (d.value(QStringLiteral("corrupted")).toInt() > 0)
                changedWrites.insert(serial);
            if (d.value(QStringLiteral("applied")).toInt() > 1 + lost)
                out << QStringLiteral("device %1 was written %2 times")
                           .arg(serial)
                           .arg(d.value(QStringLiteral("applied")).toInt());
            if (uuid.isEmpty()) {
                if (finished)
                    out << QStringLiteral("device %1 holds no identifier").arg(serial);
                continue;
            }
            if (holderOf.contains(uuid))
                out << QStringLiteral("identifier %1 is in %2 and %3").arg(uuid, holderOf.value(uuid), serial);
            holderOf.insert(uuid, serial);
            heldBy.insert(serial, uuid);
        }
    }
    for (auto it = holderOf.cbegin(); it != holderOf.cend(); ++it) {
        const QList<QVariantList> recorded = rows(
            QStringLiteral("SELECT IsUse, DeviceSerialNum FROM SerialNumbers WHERE SerialNumber='%1'").arg(it.key()));
        const bool changed = changedWrites.contains(it.value()) && !finished
            && count(QStringLiteral("SerialNumbers WHERE IsUse=2 AND DeviceSerialNum='%1'").arg(it.value())) > 0;
        if (recorded.isEmpty() && !changed)
            out << QStringLiteral("identifier %1 in device %2 is not in the pool").arg(it.key(), it.value());
        for (const QVariantList &r : recorded) {
            const int use = r.at(0).toInt();
            if ((use != 1 && !(use == 2 && !finished)) || r.at(1).toString() != it.value())
                out << QStringLiteral("identifier %1 in device %2 is recorded as IsUse %3 for %4")
                           .arg(it.key(), it.value())
                           .arg(use)
                           .arg(r.at(1).toString());
        }
    }
    const QList<QVariantList> taken = rows(
        QStringLiteral("SELECT SerialNumber, IsUse, DeviceSerialNum FROM SerialNumbers WHERE IsUse<>0"));
    for (const QVariantList &r : taken) {
        const QString uuid = r.at(0).toString();
        const QString device = r.at(2).toString();
        if (heldBy.value(device) != uuid && (finished || r.at(1).toInt() == 1))
            out << QStringLiteral("identifier %1 recorded (IsUse %2) for %3, which does not hold it")
                       .arg(uuid)
                       .arg(r.at(1).toInt())
                       .arg(device);
    }
    return out;
}

} // namespace testsupport
