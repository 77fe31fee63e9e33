#include "log.h"
#include "ui_log.h"

#include "datastore.h"
#include "fixedfield.h"

#include <QHeaderView>
#include <QSignalBlocker>

#include <algorithm>

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
    table->setColumnCount(3);
    table->setHorizontalHeaderLabels({tr("LogType"), tr("LogDescribe"), tr("LogDate")});
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
    table->setRowCount(pageSize);

    connect(ui->cbxPage, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &Log::onPageChange);
}

Log::~Log()
{
    delete ui;
}

void Log::refreshPaging()
{
    totalCount = countLogs();
    pageCount = totalCount / pageSize + (totalCount % pageSize > 0 ? 1 : 0);
    if (pageCount < 1)
        pageCount = 1;
    currentPage = 1;
    {
        // Rebuilding the selector reports transient indexes; page 1 is loaded once below.
        const QSignalBlocker blocker(ui->cbxPage);
        ui->cbxPage->clear();
        for (int page = 1; page <= pageCount; ++page)
            ui->cbxPage->addItem(QString::number(page));
    }
    showCurrentPage();
}

void Log::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    // The layout has already given the table its new size.
    const int w = ui->tableWidget->width();
    const int h = ui->tableWidget->height();
    QHeaderView *header = ui->tableWidget->horizontalHeader();
    header->resizeSection(0, w * 30 / 100);
    header->resizeSection(1, w * 40 / 100);
    header->resizeSection(2, w * 30 / 100);

    // A table too short for one row still pages one entry at a time.
    pageSize = std::max(1, (h - kTableChrome) / kRowStep);
    ui->tableWidget->setRowCount(pageSize);
    refreshPaging();
}

void Log::on_btnFirst_clicked()
{
    currentPage = 1;
    showCurrentPage();
}

void Log::on_btnPrev_clicked()
{
    currentPage -= 1;
    showCurrentPage();
}

void Log::on_btnNext_clicked()
{
    currentPage += 1;
    showCurrentPage();
}

void Log::on_btnLast_clicked()
{
    currentPage = pageCount;
    showCurrentPage();
}

void Log::onPageChange(int curIndex)
{
    // -1 means the selector is empty: there is no page to show.
    if (curIndex < 0)
        return;
    currentPage = curIndex + 1;
    showCurrentPage();
}

void Log::showCurrentPage()
{
    updatePageControls();
    loadPage();
    updateSummary();
}

void Log::updatePageControls()
{
    {
        // Moving the selector from here must not come back through onPageChange.
        const QSignalBlocker blocker(ui->cbxPage);
        ui->cbxPage->setCurrentIndex(currentPage - 1);
    }
    bool back = true;
    bool forward = true;
    if (currentPage == pageCount && pageCount == 1) {
        back = forward = false;
    } else if (currentPage == 1) {
        back = false;
    } else if (currentPage == pageCount) {
        forward = false;
    }
    ui->btnFirst->setEnabled(back);
    ui->btnPrev->setEnabled(back);
    ui->btnNext->setEnabled(forward);
    ui->btnLast->setEnabled(forward);
}

void Log::loadPage()
{
    QTableWidget *table = ui->tableWidget;
    table->clearContents();
    pageRecords = pageLogs(currentPage - 1, pageSize);
    // Stored texts are as translated when written; a translation loaded now may still
    // carry an entry written in the source language.
    const auto shown = [](const QString &stored) { return tr(stored.toUtf8().constData()); };
    for (int row = 0; row < pageRecords.size() && row < table->rowCount(); ++row) {
        const LogRecord &r = pageRecords.at(row);
        table->setItem(row, 0, new QTableWidgetItem(shown(fixedfield::get(r.logType))));
        table->setItem(row, 1, new QTableWidgetItem(shown(fixedfield::get(r.logDescribe))));
        table->setItem(row, 2, new QTableWidgetItem(shown(fixedfield::get(r.logDate))));
    }
}

void Log::updateSummary()
{
    ui->lblPage->setText(tr("A total of %1 logs, %2 pages, the current %3 page")
                             .arg(totalCount)
                             .arg(pageCount)
                             .arg(currentPage));
}
