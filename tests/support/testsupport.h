// Shared test harness: each test executable runs offscreen in a fresh temporary
// working directory holding Resources/ and an empty language/, like the run folder.
#pragma once

#include <QApplication>
#include <QStringList>
#include <QTest>
#include <QVariantList>

namespace testsupport {

// Called by TARNWELL_TEST_MAIN before the tests run.
void prepareWorkingDirectory();

// Closes the store, removes mydatabase.db and opens a fresh one with the seed rows.
void freshDatabase();

// Reads rows straight from mydatabase.db on a connection of its own (not the store's),
// so tests check what is really stored. Each row is a list of column values.
QList<QVariantList> rows(const QString &sql);
QVariant value(const QString &sql);

// Runs `sql` on the test's own connection (setup of odd states the program can't make).
bool exec(const QString &sql);

// Presses a push button, check box or radio button the way an operator would.
void click(QWidget *widget);

} // namespace testsupport

#define TARNWELL_TEST_MAIN(TestObject)                                  \
    int main(int argc, char *argv[])                                    \
    {                                                                   \
        qputenv("QT_QPA_PLATFORM", "offscreen");                        \
        QApplication app(argc, argv);                                   \
        testsupport::prepareWorkingDirectory();                         \
        TestObject tc;                                                  \
        QTEST_SET_MAIN_SOURCE_PATH                                      \
        return QTest::qExec(&tc, argc, argv);                           \
    }
