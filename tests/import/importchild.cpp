// One import through the Serial page in a process of its own, as a second copy of the
// program would run it: for the tests that need two programs on one pool, or a program
// killed part-way. Prints the text of the box the import ends with.
// Usage: tst_import_child <folder holding mydatabase.db> <file> <customer id 1|2>
#include "serial/serial.h"
#include "store/datastore.h"
#include "widgets/messagebox.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc != 4 || !QDir::setCurrent(QString::fromLocal8Bit(argv[1])))
        return 2;
    MessageBox::setScripted(true);
    openDatabase();
    // The import is an administrator's: the seeded one.
    Person admin;
    admin.id = 1;
    admin.name = QStringLiteral("admin");
    admin.role = Role::Administrator;
    setSignedInPerson(admin);
    {
        Serial page;
        page.resize(1104, 656);
        page.show();
        FileDialog::setNextFileName(QString::fromLocal8Bit(argv[2]));
        page.findChild<QPushButton *>(QStringLiteral("btnChoose"))->click();
        page.findChild<QRadioButton *>(QLatin1String(argv[3][0] == '1' ? "rbUMEYE" : "rbBrisvan"))->click();
        page.findChild<QPushButton *>(QStringLiteral("btnImport"))->click();
        // The import ends with exactly one box.
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&loop] {
            if (!MessageBox::shown().isEmpty())
                loop.quit();
        });
        poll.start(10);
        loop.exec();
        std::printf("%s\n", MessageBox::last().text.toUtf8().constData());
    }
    closeDatabase();
    return 0;
}
