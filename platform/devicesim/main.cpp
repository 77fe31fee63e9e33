// tarnwell-devicesim: a line of simulated video devices on one loopback UDP port,
// for demos, tests and benchmarks of the burning page without real devices.
#include "platform/devicesim/deviceline.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

namespace {

int fail(const QString &message)
{
    QTextStream(stderr) << "tarnwell-devicesim: " << message << '\n';
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarnwell-devicesim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Simulates a line of DVR, NVR and IPC devices that answer discovery probes and accept "
                       "identifier writes and reads over UDP on 127.0.0.1, the protocol of docs/protocol.md. "
                       "Prints \"listening on 127.0.0.1:<port>\" once it is ready. Stop it with Ctrl+C."));
    parser.addHelpOption();
    const QCommandLineOption devicesOpt(QStringLiteral("devices"),
                                        QStringLiteral("Number of devices on the line (1 to 10000, default 24)."),
                                        QStringLiteral("N"), QStringLiteral("24"));
    const QCommandLineOption portOpt(
        QStringLiteral("port"),
        QStringLiteral("Loopback UDP port to listen on (default %1; 0 picks a free one).").arg(z7wire::kDefaultPort),
        QStringLiteral("P"), QString::number(z7wire::kDefaultPort));
    const QCommandLineOption stateOpt(
        QStringLiteral("state"),
        QStringLiteral("JSON file holding the devices and what was written into them; read at start "
                       "when it exists (then --devices, --seed and --type are not used), rewritten "
                       "after every write that reaches a device. Without it the line forgets on exit."),
        QStringLiteral("FILE"));
    const QCommandLineOption seedOpt(QStringLiteral("seed"),
                                     QStringLiteral(
                                         "Seed of the device list: the same seed gives the same serial numbers, "
                                         "types and passwords (default 1)."),
                                     QStringLiteral("S"), QStringLiteral("1"));
    const QCommandLineOption typeOpt(QStringLiteral("type"),
                                     QStringLiteral("Type of every device: DVR, NVR, IPC, or mix (default)."),
                                     QStringLiteral("T"), QStringLiteral("mix"));
    const QCommandLineOption lossOpt(QStringLiteral("loss"),
                                     QStringLiteral(
                                         "Fault: chance from 0 to 1 that a datagram is lost, each probe per device, "
                                         "each write and each answer on its own (default 0)."),
                                     QStringLiteral("RATE"), QStringLiteral("0"));
    const QCommandLineOption delayOpt(QStringLiteral("delay"),
                                      QStringLiteral(
                                          "Fault: milliseconds added before every answer (0 to 60000, default 0)."),
                                      QStringLiteral("MS"), QStringLiteral("0"));
    const QCommandLineOption refuseOpt(QStringLiteral("refuse"),
                                       QStringLiteral(
                                           "Fault: the first N devices of the list refuse every write (default 0)."),
                                       QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption changedOpt(
        QStringLiteral("changed-passwords"),
        QStringLiteral("Fault: the last N devices of the list report their old password but accept "
                       "only a changed one, so writes with the reported password fail (default 0)."),
        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption duplicatesOpt(QStringLiteral("duplicates"),
                                           QStringLiteral(
                                               "Fault: chance from 0 to 1 that an answer is sent twice (default 0)."),
                                           QStringLiteral("RATE"), QStringLiteral("0"));
    const QCommandLineOption forgetOpt(
        QStringLiteral("forget"),
        QStringLiteral("Fault: percentage of applied writes a device acknowledges but does not keep: it then "
                       "holds no identifier (0 to 100, default 0). Drawn from --seed, so runs repeat."),
        QStringLiteral("PERCENT"), QStringLiteral("0"));
    const QCommandLineOption corruptOpt(
        QStringLiteral("corrupt"),
        QStringLiteral("Fault: percentage of applied writes a device acknowledges but keeps as a different "
                       "value (0 to 100, default 0; with --forget at most 100 together). Drawn from --seed."),
        QStringLiteral("PERCENT"), QStringLiteral("0"));
    const QCommandLineOption noSyncOpt(
        QStringLiteral("no-sync"),
        QStringLiteral("Do not wait for the state file to reach the disk before acknowledging a write: "
                       "much faster on a slow disk, but a power cut or machine crash may lose writes "
                       "the program was told were applied. Killing the simulator loses nothing either way."));
    const QCommandLineOption listOpt(
        QStringLiteral("list"),
        QStringLiteral("Print the device list (serial, type, IP, user, password, tab-separated) and exit."));
    parser.addOptions({devicesOpt, portOpt, stateOpt, seedOpt, typeOpt, lossOpt, delayOpt, refuseOpt, changedOpt,
                       duplicatesOpt, forgetOpt, corruptOpt, noSyncOpt, listOpt});
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument \"%1\"; see --help").arg(parser.positionalArguments().first()));

    LineOptions options;
    bool ok = false;
    options.devices = parser.value(devicesOpt).toInt(&ok);
    if (!ok || options.devices < 1 || options.devices > 10000)
        return fail(QStringLiteral("--devices must be a whole number from 1 to 10000"));
    const uint port = parser.value(portOpt).toUInt(&ok);
    if (!ok || port > 65535)
        return fail(QStringLiteral("--port must be a whole number from 0 to 65535"));
    options.seed = parser.value(seedOpt).toULongLong(&ok);
    if (!ok)
        return fail(QStringLiteral("--seed must be a whole number"));
    const QString type = parser.value(typeOpt).toUpper();
    if (type != QLatin1String("MIX") && type != QLatin1String("DVR") && type != QLatin1String("NVR")
        && type != QLatin1String("IPC"))
        return fail(QStringLiteral("--type must be DVR, NVR, IPC or mix"));
    options.type = type == QLatin1String("MIX") ? QString() : type;
    options.loss = parser.value(lossOpt).toDouble(&ok);
    if (!ok || !(options.loss >= 0 && options.loss <= 1))
        return fail(QStringLiteral("--loss must be a number from 0 to 1"));
    options.duplicates = parser.value(duplicatesOpt).toDouble(&ok);
    if (!ok || !(options.duplicates >= 0 && options.duplicates <= 1))
        return fail(QStringLiteral("--duplicates must be a number from 0 to 1"));
    options.delayMs = parser.value(delayOpt).toInt(&ok);
    if (!ok || options.delayMs < 0 || options.delayMs > 60000)
        return fail(QStringLiteral("--delay must be a whole number of milliseconds from 0 to 60000"));
    options.refusing = parser.value(refuseOpt).toInt(&ok);
    if (!ok || options.refusing < 0)
        return fail(QStringLiteral("--refuse must be a whole number from 0"));
    options.sync = !parser.isSet(noSyncOpt);
    options.changedPasswords = parser.value(changedOpt).toInt(&ok);
    if (!ok || options.changedPasswords < 0)
        return fail(QStringLiteral("--changed-passwords must be a whole number from 0"));
    options.forgetPercent = parser.value(forgetOpt).toInt(&ok);
    if (!ok || options.forgetPercent < 0 || options.forgetPercent > 100)
        return fail(QStringLiteral("--forget must be a whole number from 0 to 100"));
    options.corruptPercent = parser.value(corruptOpt).toInt(&ok);
    if (!ok || options.corruptPercent < 0 || options.corruptPercent > 100)
        return fail(QStringLiteral("--corrupt must be a whole number from 0 to 100"));
    if (options.forgetPercent + options.corruptPercent > 100)
        return fail(QStringLiteral("--forget and --corrupt together must not exceed 100"));

    DeviceLine line(options);
    QString error;
    const QString stateFile = parser.value(stateOpt);
    if (!line.load(stateFile, &error))
        return fail(
            QStringLiteral("cannot use the state file %1: %2 (the file is left as it is)").arg(stateFile, error));

    QTextStream out(stdout);
    if (parser.isSet(listOpt)) {
        for (const SimDevice &d : line.devices())
            out << d.serial << '\t' << d.type << '\t' << d.ip << '\t' << d.user << '\t' << d.password << '\n';
        return 0;
    }
    if (!line.listen(quint16(port), &error))
        return fail(QStringLiteral("cannot listen on 127.0.0.1:%1: %2").arg(port).arg(error));

    // Ctrl+C or SIGTERM end it where it stands: the state file is replaced whole
    // after every change, so there is nothing to flush.
    out << line.devices().size() << " devices listening on 127.0.0.1:" << line.port() << Qt::endl;
    return app.exec();
}
