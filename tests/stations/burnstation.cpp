// burnstation: one burning station without an operator, for the tests that need real
// processes (two stations on one pool, a station killed during its passes). It runs the
// program's own burning page, in the working folder's pool, offscreen:
//   search until the line has answered, check every device that is not burnt, Match for
//   the customer, Burn; again, until every listed device is burnt or the rounds run out.
// It prints one line per step ("search N", "burning N", "pass done", "box: <text>") so a
// harness can tell where it is, and exits 0 when every device it found is burnt, 1 when
// rounds ran out, 2 on bad arguments.
//   burnstation --devices N [--customer 1|2] [--rounds R] [--search-ms MS]
// The line is found through Z7_NETSDK_TARGETS like the program's.
#include "device/devicemng.h"
#include "platform/netsdk/z7netsdk.h"
#include "store/datastore.h"
#include "widgets/messagebox.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QPushButton>
#include <QTableWidget>
#include <QThread>

#include <cstdio>

namespace {

void say(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

template <typename T>
T *child(QWidget *page, const char *name)
{
    return page->findChild<T *>(QLatin1String(name));
}

void click(QAbstractButton *button)
{
    if (button->isEnabled())
        button->click();
}

// Waits, handling events, until `done` holds or the deadline passes.
template <typename F>
bool waitFor(F done, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

bool hasCheckBox(QTableWidget *t, int row)
{
    const QTableWidgetItem *item = t->item(row, 0);
    return item && item->data(Qt::CheckStateRole).isValid();
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("devices"), QStringLiteral("Devices the line holds."), QStringLiteral("N")});
    parser.addOption({QStringLiteral("customer"), QStringLiteral("Customer to Match (1 or 2)."), QStringLiteral("ID"),
                      QStringLiteral("1")});
    parser.addOption({QStringLiteral("rounds"), QStringLiteral("Search-Match-Burn rounds at most."),
                      QStringLiteral("R"), QStringLiteral("20")});
    parser.addOption({QStringLiteral("search-ms"), QStringLiteral("Longest wait for the line to answer."),
                      QStringLiteral("MS"), QStringLiteral("15000")});
    parser.process(app);
    const int devices = parser.value(QStringLiteral("devices")).toInt();
    const int customer = parser.value(QStringLiteral("customer")).toInt();
    if (devices < 1 || customer < 1 || customer > 2)
        return 2;

    MessageBox::setScripted(true);
    openDatabase();
    Z7_NET_DVR_Init();
    int result = 1;
    {
        DeviceMng page;
        page.show();
        auto *table = child<QTableWidget>(&page, "tableWidget");
        auto *search = child<QPushButton>(&page, "btnSearch");
        auto *stop = child<QPushButton>(&page, "btnStop");
        auto *all = child<QCheckBox>(&page, "cbxAll");
        child<QComboBox>(&page, "cbxCustomer")->setCurrentIndex(customer - 1);
        const int rounds = parser.value(QStringLiteral("rounds")).toInt();
        for (int round = 0; round < rounds; ++round) {
            click(search);
            waitFor([&] { return table->rowCount() >= devices || search->isEnabled(); },
                    parser.value(QStringLiteral("search-ms")).toInt());
            waitFor([&] { return stop->isEnabled() || search->isEnabled(); }, 3000);
            click(stop);
            say(QStringLiteral("search %1").arg(table->rowCount()));

            int open = 0;
            for (int row = 0; row < table->rowCount(); ++row)
                open += hasCheckBox(table, row) ? 1 : 0;
            if (open == 0 && table->rowCount() >= devices) {
                result = 0;
                break;
            }
            all->setChecked(false);
            all->setChecked(true);
            click(child<QPushButton>(&page, "btnMatch"));
            const int boxes = MessageBox::shown().size();
            say(QStringLiteral("burning %1").arg(open));
            click(child<QPushButton>(&page, "btnBurn"));
            const QList<MessageBox::Shown> shown = MessageBox::shown();
            for (int i = boxes; i < shown.size(); ++i)
                say(QStringLiteral("box: ") + QString(shown.at(i).text).replace(QLatin1Char('\n'), QLatin1Char(' ')));
            say(QStringLiteral("pass done"));
        }
    }
    Z7_NET_DVR_Cleanup();
    closeDatabase();
    return result;
}
