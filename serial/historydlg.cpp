#include "serial/historydlg.h"
#include "ui_historydlg.h"

#include "jobs/historywords.h"
#include "store/datastore.h"
#include "widgets/displaytext.h"

#include <QHeaderView>
#include <QTableWidgetItem>

HistoryDlg::HistoryDlg(const QString &value, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::HistoryDlg)
{
    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral("./Resources/App.ico")));
    ui->tableHistory->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    QList<HistoryEntry> entries;
    loaded_ = serialHistory(value, &entries);
    if (!loaded_) {
        ui->lblValue->setText(tr("The history of %1 could not be read: %2").arg(displayText(value), storeError()));
        return;
    }
    ui->lblValue->setText(entries.isEmpty() ? tr("Nothing is known of %1.").arg(displayText(value))
                                            : tr("History of %1").arg(displayText(value)));
    QTableWidget *table = ui->tableHistory;
    table->setRowCount(entries.size());
    for (int row = 0; row < entries.size(); ++row) {
        const HistoryEntry &e = entries.at(row);
        // Device serials and identifiers came from devices and files: shown escaped.
        const QStringList cells{e.date,
                                displayText(e.station),
                                displayText(e.person),
                                jobs::HistoryWords::event(e.kind),
                                displayText(e.serialNumber),
                                displayText(e.deviceSerialNum),
                                displayText(jobs::HistoryWords::detail(e))};
        for (int col = 0; col < cells.size(); ++col)
            table->setItem(row, col, new QTableWidgetItem(cells.at(col)));
    }
}

HistoryDlg::~HistoryDlg()
{
    delete ui;
}

void HistoryDlg::on_btnClose_clicked()
{
    close();
}
