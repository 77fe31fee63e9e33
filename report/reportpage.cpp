#include "report/reportpage.h"
#include "ui_reportpage.h"

#include "store/storesettings.h"
#include "widgets/messagebox.h"

#include <QApplication>
#include <QGraphicsLayout>
#include <QHeaderView>
#include <QPen>
#include <QRegularExpression>
#include <QSet>
#include <QShowEvent>
#include <QTableWidget>
#include <QtCharts/QBarCategoryAxis>
#include <QtCharts/QBarSeries>
#include <QtCharts/QBarSet>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QHorizontalBarSeries>
#include <QtCharts/QLineSeries>
#include <QtCharts/QStackedBarSeries>
#include <QtCharts/QValueAxis>

#include <algorithm>

using namespace QtCharts;

namespace {

const char kDefaultShifts[] = "06-14,14-22,22-06";

// What the period selector's entries stand for besides the shifts (their index).
const int kDay = -1;
const int kRange = -2;

// Marks a bar series that holds its table's rows last first.
const char kBottomUp[] = "bottomUp";

// A cell of a number column; empty cells (no value for that row) give nothing.
bool cellValue(const QStringList &row, int column, qreal *value)
{
    if (column >= row.size() || row.at(column).isEmpty())
        return false;
    bool ok = false;
    *value = row.at(column).toDouble(&ok);
    return ok;
}

// True when some cell of `columns` holds a number other than zero: a chart of only zeros
// says there is nothing to show instead of drawing an empty grid.
bool hasData(const jobs::ReportTable &table, const QList<int> &columns)
{
    for (const QStringList &row : table.rows)
        for (int c : columns) {
            qreal v = 0;
            if (cellValue(row, c, &v) && v != 0)
                return true;
        }
    return false;
}

QList<int> columnRange(int first, int last)
{
    QList<int> out;
    for (int c = first; c <= last; ++c)
        out << c;
    return out;
}

// Hours and days in the shortest form that still tells every row apart: a category axis
// drops a repeated name.
QStringList categoryNames(const jobs::ReportTable &table)
{
    static const QRegularExpression hour(QStringLiteral("^\\d{4}-(\\d\\d-\\d\\d) (\\d\\d)$"));
    static const QRegularExpression day(QStringLiteral("^\\d{4}-(\\d\\d-\\d\\d)$"));
    QStringList full;
    QStringList hoursOnly;
    QStringList shortNames;
    for (const QStringList &row : table.rows) {
        const QString name = row.value(0);
        full << name;
        const QRegularExpressionMatch h = hour.match(name);
        const QRegularExpressionMatch d = day.match(name);
        if (h.hasMatch()) {
            hoursOnly << h.captured(2);
            shortNames << h.captured(1) + QLatin1Char(' ') + h.captured(2);
        } else {
            shortNames << (d.hasMatch() ? d.captured(1) : name);
        }
    }
    const auto distinct = [](const QStringList &names) {
        return QSet<QString>(names.cbegin(), names.cend()).size() == names.size();
    };
    if (hoursOnly.size() == full.size() && distinct(hoursOnly))
        return hoursOnly;
    return distinct(shortNames) ? shortNames : full;
}

QBarCategoryAxis *categoryAxis(const QStringList &names)
{
    auto *axis = new QBarCategoryAxis;
    axis->append(names);
    // Many long names stand on end, else the axis elides every one of them.
    int longest = 0;
    for (const QString &n : names)
        longest = qMax(longest, n.size());
    if (names.size() > 12 && longest > 2)
        axis->setLabelsAngle(-90);
    QFont font = axis->labelsFont();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    axis->setLabelsFont(font);
    return axis;
}

// From zero to a round number above the largest value (the stacks' largest total): an
// axis left to the series spans only their values, and a flat line (a stock that did
// not move) has no span at all and is not drawn.
void fitFromZero(QValueAxis *axis, const jobs::ReportTable &table, const QList<int> &columns, bool stacked)
{
    qreal top = 0;
    for (const QStringList &row : table.rows) {
        qreal sum = 0;
        for (int c : columns) {
            qreal v = 0;
            if (cellValue(row, c, &v)) {
                sum += v;
                top = qMax(top, v);
            }
        }
        if (stacked)
            top = qMax(top, sum);
    }
    axis->setRange(0, top > 0 ? top * 1.05 : 1);
    axis->applyNiceNumbers();
}

QValueAxis *valueAxis(const QString &title)
{
    auto *axis = new QValueAxis;
    axis->setLabelFormat(QStringLiteral("%.0f"));
    axis->setTitleText(title);
    axis->setMin(0);
    return axis;
}

// A bar set per column, (row, value) each; an empty cell is a zero-height bar.
void addBarSets(QAbstractBarSeries *series, const jobs::ReportTable &table, const QList<int> &columns)
{
    for (int c : columns) {
        auto *set = new QBarSet(table.header.value(c));
        for (const QStringList &row : table.rows) {
            qreal v = 0;
            set->append(cellValue(row, c, &v) ? v : 0);
        }
        series->append(set);
    }
}

// A line through the column's filled cells (an empty cell is a gap in what is known).
QLineSeries *lineOf(const jobs::ReportTable &table, int column)
{
    auto *line = new QLineSeries;
    line->setName(table.header.value(column));
    for (int r = 0; r < table.rows.size(); ++r) {
        qreal v = 0;
        if (cellValue(table.rows.at(r), column, &v))
            line->append(r, v);
    }
    line->setPointsVisible(true);
    return line;
}

QChart *newChart(const QString &title)
{
    auto *chart = new QChart;
    chart->setTitle(title);
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->setMargins(QMargins(4, 4, 4, 4));
    chart->layout()->setContentsMargins(0, 0, 0, 0);
    chart->setBackgroundRoundness(0);
    return chart;
}

void install(QChartView *view, QChart *chart)
{
    QChart *old = view->chart();
    view->setChart(chart);
    view->setRenderHint(QPainter::Antialiasing);
    delete old;
}

void fillTable(QTableWidget *table, const jobs::ReportTable &report)
{
    table->clear();
    table->setColumnCount(report.header.size());
    table->setHorizontalHeaderLabels(report.header);
    table->setRowCount(report.rows.size());
    for (int r = 0; r < report.rows.size(); ++r)
        for (int c = 0; c < report.header.size(); ++c) {
            auto *item = new QTableWidgetItem(report.rows.at(r).value(c));
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
            if (c > 0)
                item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            table->setItem(r, c, item);
        }
    table->resizeColumnsToContents();
}

void prepareTable(QTableWidget *table)
{
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->verticalHeader()->setVisible(false);
    table->verticalHeader()->setDefaultSectionSize(22);
    table->setWordWrap(false);
}

} // namespace

ReportPage::ReportPage(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::ReportPage)
{
    ui->setupUi(this);
    for (QTableWidget *table :
         {ui->tableThroughput, ui->tablePeople, ui->tableYield, ui->tableFailures, ui->tableStock, ui->tableDaysLeft})
        prepareTable(table);
    for (QChartView *view : {ui->chartThroughput, ui->chartPeople, ui->chartYield, ui->chartFailures, ui->chartStock})
        view->setMinimumHeight(220);
    // Charts take the larger share of a tab, their tables the rest.
    ui->layoutThroughput->setRowStretch(0, 3);
    ui->layoutThroughput->setRowStretch(1, 2);
    // The hours need the width; a shift's people fit in less.
    ui->layoutThroughput->setColumnStretch(0, 3);
    ui->layoutThroughput->setColumnStretch(1, 2);
    ui->layoutYield->setStretch(0, 3);
    ui->layoutYield->setStretch(1, 2);
    ui->layoutFailures->setStretch(0, 3);
    ui->layoutFailures->setStretch(1, 2);
    ui->layoutStock->setRowStretch(0, 3);
    ui->layoutStock->setRowStretch(1, 2);

    shifts = parseShifts(StoreSettings::load().reportShifts);
    if (shifts.isEmpty())
        shifts = parseShifts(QString::fromLatin1(kDefaultShifts));
    ui->cbxPeriod->addItem(tr("Day"), kDay);
    for (int i = 0; i < shifts.size(); ++i)
        ui->cbxPeriod->addItem(tr("Shift %1:00-%2:00")
                                   .arg(shifts.at(i).startHour, 2, 10, QLatin1Char('0'))
                                   .arg(shifts.at(i).endHour, 2, 10, QLatin1Char('0')),
                               i);
    ui->cbxPeriod->addItem(tr("Range"), kRange);
    const QDate today = QDate::currentDate();
    ui->dateEditFrom->setDate(today);
    ui->dateEditTo->setDate(today);
    connect(ui->cbxPeriod, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &ReportPage::onPeriodChange);
    onPeriodChange(ui->cbxPeriod->currentIndex());
}

ReportPage::~ReportPage()
{
    delete ui;
}

QList<ReportPage::Shift> ReportPage::parseShifts(const QString &text)
{
    static const QRegularExpression one(QStringLiteral("^\\s*(\\d{1,2})\\s*-\\s*(\\d{1,2})\\s*$"));
    QList<Shift> out;
    for (const QString &part : text.split(QLatin1Char(','))) {
        const QRegularExpressionMatch m = one.match(part);
        if (!m.hasMatch())
            return {};
        Shift s;
        s.startHour = m.captured(1).toInt();
        s.endHour = m.captured(2).toInt();
        if (s.startHour > 23 || s.endHour > 24 || s.startHour == s.endHour)
            return {};
        out << s;
    }
    return out;
}

void ReportPage::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Shown by the program (the menu), not restored by the window system.
    if (!event->spontaneous())
        refresh();
}

void ReportPage::onPeriodChange(int index)
{
    const bool range = ui->cbxPeriod->itemData(index).toInt() == kRange;
    ui->lblFrom->setText(range ? tr("From") : tr("Date"));
    ui->lblTo->setVisible(range);
    ui->dateEditTo->setVisible(range);
}

bool ReportPage::periodRange(QDateTime *from, QDateTime *to) const
{
    const QDate date = ui->dateEditFrom->date();
    const int period = ui->cbxPeriod->currentData().toInt();
    if (period == kRange) {
        const QDate last = ui->dateEditTo->date();
        if (last < date)
            return false;
        *from = QDateTime(date, QTime(0, 0));
        *to = QDateTime(last.addDays(1), QTime(0, 0));
    } else if (period >= 0 && period < shifts.size()) {
        const Shift &s = shifts.at(period);
        *from = QDateTime(date, QTime(s.startHour, 0));
        const QDate endDate = s.endHour <= s.startHour || s.endHour == 24 ? date.addDays(1) : date;
        *to = QDateTime(endDate, QTime(s.endHour % 24, 0));
    } else {
        *from = QDateTime(date, QTime(0, 0));
        *to = QDateTime(date.addDays(1), QTime(0, 0));
    }
    return true;
}

void ReportPage::on_btnRefresh_clicked()
{
    refresh();
}

void ReportPage::refresh()
{
    QDateTime from;
    QDateTime to;
    if (!periodRange(&from, &to)) {
        MessageBox::warning(this, tr("Report"),
                            tr("The range ends before it starts: choose a To date on or after the From date."));
        return;
    }
    jobs::Report next;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const bool ok = next.load(from, to);
    QApplication::restoreOverrideCursor();
    if (!ok) {
        MessageBox::critical(this, tr("Error"),
                             tr("The report could not be read from the pool:\n\n%1").arg(next.error));
        return;
    }
    shown = next;
    loaded = true;
    showReport();
}

void ReportPage::showSummary()
{
    const QString format = QStringLiteral("yyyy-MM-dd HH:mm");
    const QString range = tr("%1 to %2").arg(shown.from().toString(format), shown.to().toString(format));
    if (shown.writtenDevices() == 0) {
        ui->lblSummary->setText(tr("%1: %2 devices confirmed, none written.").arg(range).arg(shown.confirmedDevices()));
        return;
    }
    const double yield = 100.0 * double(shown.firstPassDevices()) / double(shown.writtenDevices());
    ui->lblSummary->setText(tr("%1: %2 devices confirmed, %3 written, first-pass yield %4 %")
                                .arg(range)
                                .arg(shown.confirmedDevices())
                                .arg(shown.writtenDevices())
                                .arg(yield, 0, 'f', 1));
}

void ReportPage::showReport()
{
    showSummary();
    const QString noData = tr("No data for this period");

    // Devices confirmed per station, stacked; the table's last column is their total.
    const jobs::ReportTable &throughput = shown.throughput();
    fillTable(ui->tableThroughput, throughput);
    const QList<int> stations = columnRange(1, throughput.header.size() - 2);
    QChart *chart = newChart(throughput.title);
    if (hasData(throughput, stations)) {
        auto *series = new QStackedBarSeries;
        addBarSets(series, throughput, stations);
        chart->addSeries(series);
        QBarCategoryAxis *x = categoryAxis(categoryNames(throughput));
        QValueAxis *y = valueAxis(tr("Devices"));
        chart->addAxis(x, Qt::AlignBottom);
        chart->addAxis(y, Qt::AlignLeft);
        series->attachAxis(x);
        series->attachAxis(y);
        fitFromZero(y, throughput, stations, true);
    } else {
        chart->setTitle(noData);
    }
    install(ui->chartThroughput, chart);

    // Per person.
    const jobs::ReportTable &people = shown.people();
    fillTable(ui->tablePeople, people);
    // Devices confirmed, written and confirmed on the first write; the tries and retries
    // stay in the table (bars that tall hide the others' differences).
    const QList<int> personColumns = columnRange(1, qMin(3, people.header.size() - 1));
    chart = newChart(people.title);
    if (hasData(people, personColumns)) {
        auto *series = new QBarSeries;
        addBarSets(series, people, personColumns);
        chart->addSeries(series);
        QStringList names;
        for (const QStringList &row : people.rows)
            names << row.value(0);
        QBarCategoryAxis *x = categoryAxis(names);
        QValueAxis *y = valueAxis(QString());
        chart->addAxis(x, Qt::AlignBottom);
        chart->addAxis(y, Qt::AlignLeft);
        series->attachAxis(x);
        series->attachAxis(y);
        fitFromZero(y, people, personColumns, false);
    } else {
        chart->setTitle(noData);
    }
    install(ui->chartPeople, chart);

    // Devices written and confirmed on their first write as bars, the yield (%) as a line
    // on an axis of its own.
    const jobs::ReportTable &yield = shown.yield();
    fillTable(ui->tableYield, yield);
    chart = newChart(yield.title);
    if (hasData(yield, {1, 2, 3})) {
        auto *bars = new QBarSeries;
        addBarSets(bars, yield, {1, 2});
        chart->addSeries(bars);
        QLineSeries *line = lineOf(yield, 3);
        chart->addSeries(line);
        // The theme would give the line the second bars' colour.
        line->setPen(QPen(QColor(0xd6, 0x27, 0x28), 2));
        line->setBrush(QColor(0xd6, 0x27, 0x28));
        QBarCategoryAxis *x = categoryAxis(categoryNames(yield));
        QValueAxis *y = valueAxis(tr("Devices"));
        auto *percent = valueAxis(QStringLiteral("%"));
        percent->setMax(100);
        chart->addAxis(x, Qt::AlignBottom);
        chart->addAxis(y, Qt::AlignLeft);
        chart->addAxis(percent, Qt::AlignRight);
        bars->attachAxis(x);
        bars->attachAxis(y);
        line->attachAxis(x);
        line->attachAxis(percent);
        fitFromZero(y, yield, {1, 2}, false);
    } else {
        chart->setTitle(noData);
    }
    install(ui->chartYield, chart);

    // Causes from the most frequent down, as the table lists them.
    const jobs::ReportTable &failures = shown.failures();
    fillTable(ui->tableFailures, failures);
    const QList<int> failureColumns = columnRange(1, failures.header.size() - 1);
    chart = newChart(failures.title);
    if (hasData(failures, failureColumns)) {
        // Horizontal bars are drawn from the bottom up: the rows go in last first, so the
        // most frequent cause stands on top.
        jobs::ReportTable bottomUp = failures;
        std::reverse(bottomUp.rows.begin(), bottomUp.rows.end());
        auto *series = new QHorizontalBarSeries;
        series->setProperty(kBottomUp, true);
        addBarSets(series, bottomUp, failureColumns);
        chart->addSeries(series);
        QStringList causes;
        for (const QStringList &row : bottomUp.rows)
            causes << row.value(0);
        auto *y = new QBarCategoryAxis;
        y->append(causes);
        QValueAxis *x = valueAxis(QString());
        chart->addAxis(y, Qt::AlignLeft);
        chart->addAxis(x, Qt::AlignBottom);
        series->attachAxis(y);
        series->attachAxis(x);
        fitFromZero(x, failures, failureColumns, false);
    } else {
        chart->setTitle(noData);
    }
    install(ui->chartFailures, chart);

    // A line per customer over the range.
    const jobs::ReportTable &stock = shown.stock();
    fillTable(ui->tableStock, stock);
    fillTable(ui->tableDaysLeft, shown.daysLeft());
    const QList<int> customers = columnRange(1, stock.header.size() - 1);
    chart = newChart(stock.title);
    if (hasData(stock, customers)) {
        QBarCategoryAxis *x = categoryAxis(categoryNames(stock));
        QValueAxis *y = valueAxis(tr("UUIDs"));
        chart->addAxis(x, Qt::AlignBottom);
        chart->addAxis(y, Qt::AlignLeft);
        for (int c : customers) {
            QLineSeries *line = lineOf(stock, c);
            chart->addSeries(line);
            line->attachAxis(x);
            line->attachAxis(y);
        }
        fitFromZero(y, stock, customers, false);
    } else {
        chart->setTitle(noData);
    }
    install(ui->chartStock, chart);
}

namespace {

// The chart's data series in order: every bar set, then every line.
QList<QList<QPointF>> drawnSeries(const QChart *chart)
{
    QList<QList<QPointF>> bars;
    QList<QList<QPointF>> lines;
    for (QAbstractSeries *series : chart->series()) {
        if (auto *barSeries = qobject_cast<QAbstractBarSeries *>(series)) {
            for (const QBarSet *set : barSeries->barSets()) {
                const bool bottomUp = barSeries->property(kBottomUp).toBool();
                QList<QPointF> points;
                for (int i = 0; i < set->count(); ++i)
                    points << QPointF(bottomUp ? set->count() - 1 - i : i, set->at(i));
                if (bottomUp)
                    std::reverse(points.begin(), points.end());
                bars << points;
            }
        } else if (auto *line = qobject_cast<QLineSeries *>(series)) {
            lines << line->points();
        }
    }
    return bars + lines;
}

} // namespace

QList<QPointF> ReportPage::seriesPoints(const QString &chartName, int series) const
{
    const auto *view = findChild<QChartView *>(chartName);
    return view ? drawnSeries(view->chart()).value(series) : QList<QPointF>();
}

int ReportPage::seriesCount(const QString &chartName) const
{
    const auto *view = findChild<QChartView *>(chartName);
    return view ? drawnSeries(view->chart()).size() : 0;
}

void ReportPage::on_btnExport_clicked()
{
    if (!loaded)
        refresh();
    if (!loaded)
        return;
    bool xlsx = false;
    const QString path = FileDialog::getExportFileName(this, tr("Export report"), &xlsx);
    if (path.isEmpty())
        return;
    QString why;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const bool ok = shown.exportTo(path, xlsx ? TableWriter::Format::Xlsx : TableWriter::Format::Csv, &why);
    QApplication::restoreOverrideCursor();
    const QString format = QStringLiteral("yyyy-MM-dd HH:mm");
    if (ok)
        MessageBox::information(this, tr("Information"),
                                tr("The report of %1 to %2 was exported to %3.")
                                    .arg(shown.from().toString(format), shown.to().toString(format), path));
    else
        MessageBox::critical(
            this, tr("Error"),
            tr("The report could not be exported to %1: %2\nNothing was written under that name.").arg(path, why));
}
