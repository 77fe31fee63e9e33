#include "serial/batchesdlg.h"
#include "ui_batchesdlg.h"

#include "store/datastore.h"
#include "widgets/displaytext.h"

#include <QHeaderView>
#include <QTableWidgetItem>

BatchesDlg::BatchesDlg(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::BatchesDlg)
{
    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral("./Resources/App.ico")));
    ui->tableBatches->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    QList<BatchReport> batches;
    loaded_ = importBatches(&batches);
    if (!loaded_) {
        ui->lblSummary->setText(tr("The import batches could not be read: %1").arg(storeError()));
        return;
    }
    int off = 0;
    QTableWidget *table = ui->tableBatches;
    table->setRowCount(batches.size());
    for (int row = 0; row < batches.size(); ++row) {
        const BatchReport &b = batches.at(row);
        const auto n = [](qint64 v) { return QString::number(v); };
        QString reconciles = tr("yes");
        if (!b.reconciles()) {
            ++off;
            reconciles = tr("NO: %1 accounted for").arg(b.accounted());
        }
        // Names come from files and stations: shown escaped.
        const QStringList cells{n(b.batchId),
                                b.date,
                                displayText(b.station),
                                displayText(b.person),
                                displayText(b.customerName),
                                n(b.stored),
                                n(b.refused),
                                n(b.unused),
                                n(b.pending),
                                n(b.used),
                                n(b.voided),
                                n(b.released),
                                n(b.deleted),
                                reconciles,
                                displayText(b.fileName),
                                b.fileHash};
        for (int col = 0; col < cells.size(); ++col) {
            auto *item = new QTableWidgetItem(cells.at(col));
            if (!b.reconciles())
                item->setForeground(Qt::red);
            table->setItem(row, col, item);
        }
    }
    ui->lblSummary->setText(off == 0 ? tr("%n import batch(es); every one reconciles.", nullptr, batches.size())
                                     : tr("%n import batch(es) do not reconcile.", nullptr, off));
}

BatchesDlg::~BatchesDlg()
{
    delete ui;
}

void BatchesDlg::on_btnClose_clicked()
{
    close();
}
