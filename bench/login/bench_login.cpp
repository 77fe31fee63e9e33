// One login (signIn) on a fresh pool file: the administrator, an operator (whose login also
// checks whether the administrator still has the delivered password: two hash checks), a
// wrong password and a name that is no account. The baseline, measured in the same run on
// the same file: the bare statement that found the row by name and stored password text.
//
//   bench_login [--runs N]   (TARNWELL_BENCH_RUNS, default 15)
#include "bench/support/benchsupport.h"
#include "store/datastore.h"
#include "store/passwordhash.h"
#include "store/storeconnection.h"

#include <QCoreApplication>
#include <QDir>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>

#include <cstdio>

namespace {

void say(const QString &text)
{
    std::printf("%s\n", qPrintable(text));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = int(bench::sizeOption(app.arguments(), QStringLiteral("--runs"), "TARNWELL_BENCH_RUNS", 15));
    QTemporaryDir folder;
    if (!folder.isValid() || !QDir::setCurrent(folder.path()))
        return 1;
    openDatabase();
    QSqlQuery add(storeDatabase);
    add.prepare(QStringLiteral("INSERT INTO Users (UserName, UserPwd, UserRole) VALUES ('op', ?, 0)"));
    add.addBindValue(passwordhash::make(QStringLiteral("op-pass")));
    if (!add.exec())
        return 1;

    bool allOk = true;
    const auto login = [&](const char *name, const char *password, LoginOutcome::Result expected) {
        return [=, &allOk] {
            const LoginOutcome o = signIn(QLatin1String(name), QLatin1String(password));
            allOk = allOk && o.result == expected;
        };
    };
    // Failures are reset between runs, so no run waits out a lock-out.
    const auto resetFailures = [] { QSqlQuery(storeDatabase).exec(QStringLiteral("UPDATE Users SET UserFailures=0")); };
    const bench::Timing baseline = bench::timeIt(
        [] {
        QSqlQuery q(storeDatabase);
        q.prepare(QStringLiteral("SELECT UserID FROM Users WHERE UserName=? AND UserPwd=?"));
        q.addBindValue(QStringLiteral("admin"));
        q.addBindValue(QStringLiteral("qorvi"));
        q.exec();
        q.next();
        },
        [] {}, runs);
    say(QStringLiteral("bench_login: %1 runs each, load %2").arg(runs).arg(baseline.load, 0, 'f', 2));
    say(QStringLiteral("  baseline: the plain-text statement     %1 ms").arg(baseline.wall, 0, 'f', 3));
    const struct {
        const char *what;
        std::function<void()> action;
    } cases[] =
        {
            {"admin, right password     ", login("admin", "qorvi", LoginOutcome::Ok)},
            {"operator, right password  ", login("op", "op-pass", LoginOutcome::Ok)},
            {"operator, wrong password  ", login("op", "guess", LoginOutcome::Wrong)},
            // A new name each run: a name that is no account has its failures counted too.
            {"name that is no account   ",
             [&allOk, n = 0]() mutable {
        allOk = allOk
            && signIn(QStringLiteral("ghost%1").arg(++n), QStringLiteral("guess")).result == LoginOutcome::Wrong;
             }},
    };
    for (const auto &c : cases) {
        const bench::Timing t = bench::timeIt(c.action, resetFailures, runs);
        say(QStringLiteral("  signIn, %1 %2 ms (worst %3 ms, CPU %4 ms)  %5x the baseline  %6")
                .arg(QLatin1String(c.what))
                .arg(t.wall, 0, 'f', 1)
                .arg(t.worst, 0, 'f', 1)
                .arg(t.cpu, 0, 'f', 1)
                .arg(t.wall / qMax(baseline.wall, 0.001), 0, 'f', 0)
                .arg(t.worst < 500 ? QStringLiteral("under 0.5 s") : QStringLiteral("OVER 0.5 s")));
    }
    closeDatabase();
    if (!allOk)
        say(QStringLiteral("  a login did not answer as expected"));
    return allOk ? 0 : 1;
}
