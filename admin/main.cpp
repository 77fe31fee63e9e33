// tarnwell-admin COMMAND [options]
//   verify-log      checks the operation log's hash chains
//   setup-server    prepares the line's PostgreSQL pool and the stations' group role
//   history VALUE   what the pool knows of an identifier or a device
//   batches         every import batch and what became of its identifiers
//   report          the line's report (throughput, yield, failures, stock) for a range of hours
#include "admin/admin.h"

#include "store/storesettings.h"

#include <QCoreApplication>

#include <cstdio>

namespace admin {

void printOut(const QString &text)
{
    const QByteArray bytes = text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

int printError(const QString &text, int code)
{
    const QByteArray bytes = QByteArrayLiteral("tarnwell-admin: ") + text.simplified().toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
    return code;
}

} // namespace admin

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const QString usage = QStringLiteral("usage: tarnwell-admin verify-log [options] | setup-server [options] | "
                                         "history VALUE | batches | report --from DATE --to DATE [--csv]; "
                                         "tarnwell-admin COMMAND --help for its options");
    if (args.isEmpty())
        return admin::printError(usage);
    const QString command = args.takeFirst();
    // Every command works on the pool tarnwell.ini names: a file it cannot take whole is refused.
    QString settingsError;
    StoreSettings::load(&settingsError);
    if (!settingsError.isEmpty() && command != QLatin1String("--help") && command != QLatin1String("-h"))
        return admin::printError(QStringLiteral("%1: %2").arg(StoreSettings::filePath(), settingsError));
    if (command == QLatin1String("verify-log"))
        return admin::verifyLog(args);
    if (command == QLatin1String("setup-server"))
        return admin::setupServer(args);
    if (command == QLatin1String("history"))
        return admin::history(args);
    if (command == QLatin1String("batches"))
        return admin::batches(args);
    if (command == QLatin1String("report"))
        return admin::report(args);
    if (command == QLatin1String("--help") || command == QLatin1String("-h")) {
        admin::printOut(usage);
        return 0;
    }
    return admin::printError(QStringLiteral("unknown command \"%1\"; %2").arg(command, usage));
}
