#include "log/log.h"
#include "ui_log.h"

#include "store/datastore.h"
#include "widgets/displaytext.h"
#include "widgets/messagebox.h"

#include <QHeaderView>

#include <algorithm>

namespace {

// After a read of the log: true, with a box that says why, when it could not be read, so
// an empty page is never shown as the log's content.
bool logUnreadable()
{
    if (!lastStoreCallFailed())
        return false;
    MessageBox::critical(nullptr, Log::tr("Error"),
                         Log::tr("The operation log could not be read from the pool:\n\n%1").arg(storeError()));
    return true;
}

} // namespace

namespace {

// The table area left over for rows, and the height one row is given, in pixels.
const int kTableChrome = 130;
const int kRowStep = 25;

} // namespace

Log::Log(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::Log)
{
    ui->setupUi(this);

    QTableWidget *table = ui->tableWidget;
    // Three columns as ever, the station that wrote the row (stations of a line share one
    // log) and the person signed in there.
    table->setColumnCount(5);
    table->setHorizontalHeaderLabels({tr("LogType"), tr("LogDescribe"), tr("LogDate"), tr("Station"), tr("Person")});
    table->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    table->verticalHeader()->setVisible(false);
    // Rows as tall as the 25 px step the page size is counted in.
    table->verticalHeader()->setDefaultSectionSize(25);
    // One line per entry: a wrapped description would show only its first half.
    table->setWordWrap(false);
    table->setTextElideMode(Qt::ElideMiddle);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Widths follow the page size (resizeEvent); the operator cannot drag them.
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    pager = new Pager(ui->btnFirst, ui->btnPrev, ui->cbxPage, ui->btnNext, ui->btnLast);
    pager->setPageSize(1);
    table->setRowCount(pager->pageSize());

    connect(ui->cbxPage, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &Log::onPageChange);
}

Log::~Log()
{
    delete pager;
    delete ui;
}

void Log::refreshPaging()
{
    const int total = countLogs();
    if (logUnreadable())
        return;
    pager->recount(total);
    const QList<LogRow> rows = pageLogRows(0, pager->pageSize());
    if (logUnreadable())
        return;
    showRows(rows);
    updateSummary();
}

void Log::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    // The layout has already given the table its new size.
    const int w = ui->tableWidget->width();
    const int h = ui->tableWidget->height();
    QHeaderView *header = ui->tableWidget->horizontalHeader();
    // The station and person columns take a fixed share each; the three others split the
    // rest 30 / 40 / 30.
    const int station = w * 12 / 100;
    const int rest = w - 2 * station;
    header->resizeSection(0, rest * 30 / 100);
    header->resizeSection(1, rest * 40 / 100);
    header->resizeSection(2, rest * 30 / 100);
    header->resizeSection(3, station);
    header->resizeSection(4, station);

    // A table too short for one row still pages one entry at a time.
    pager->setPageSize((h - kTableChrome) / kRowStep);
    ui->tableWidget->setRowCount(pager->pageSize());
    refreshPaging();
}

void Log::on_btnFirst_clicked()
{
    showPage(1);
}

void Log::on_btnPrev_clicked()
{
    showPage(pager->currentPage() - 1);
}

void Log::on_btnNext_clicked()
{
    showPage(pager->currentPage() + 1);
}

void Log::on_btnLast_clicked()
{
    showPage(pager->pageCount());
}

void Log::onPageChange(int curIndex)
{
    // -1 means the selector is empty: there is no page to show.
    if (curIndex < 0)
        return;
    showPage(curIndex + 1);
}

void Log::showPage(int page)
{
    // Neighbouring pages are walked to by the key of the rows shown; any other page is
    // skipped to from the nearer end of the log.
    const int from = pager->currentPage();
    QList<LogRow> rows;
    if (page == from + 1 && !pageRecords.isEmpty())
        rows = logRowsBelow(pageRecords.last().id, pager->pageSize());
    else if (page == from - 1 && page >= 1 && !pageRecords.isEmpty())
        rows = logRowsAbove(pageRecords.first().id, pager->pageSize());
    else
        rows = seekLogPage(page - 1, pager->pageSize(), pager->totalCount());
    if (logUnreadable())
        return;
    pager->moveTo(page);
    showRows(rows);
    updateSummary();
}

void Log::showRows(const QList<LogRow> &rows)
{
    QTableWidget *table = ui->tableWidget;
    table->clearContents();
    pageRecords = rows;
    // Stored texts are as translated when written; a translation loaded now may still
    // carry an entry written in the source language.
    const auto shown = [](const QString &stored) { return tr(stored.toUtf8().constData()); };
    for (int row = 0; row < pageRecords.size() && row < table->rowCount(); ++row) {
        const LogRow &r = pageRecords.at(row);
        // Descriptions quote what devices and files reported, which may hold control
        // characters: those are shown escaped.
        table->setItem(row, 0, new QTableWidgetItem(displayText(shown(r.type))));
        table->setItem(row, 1, new QTableWidgetItem(displayText(shown(r.describe))));
        table->setItem(row, 2, new QTableWidgetItem(shown(r.date)));
        table->setItem(row, 3, new QTableWidgetItem(displayText(r.station)));
        table->setItem(row, 4, new QTableWidgetItem(displayText(r.user)));
    }
}

void Log::updateSummary()
{
    ui->lblPage->setText(tr("A total of %1 logs, %2 pages, the current %3 page")
                             .arg(pager->totalCount())
                             .arg(pager->pageCount())
                             .arg(pager->currentPage()));
}
