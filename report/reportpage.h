#pragma once

#include "jobs/report.h"

#include <QList>
#include <QPointF>
#include <QWidget>

namespace Ui {
class ReportPage;
}
namespace QtCharts {
class QChartView;
}
class QTableWidget;

// How the line did over a day, a shift of a day or a range of days: a chart per table of
// jobs::Report, each drawn from the table shown under it, and the report's export.
// Read-only; it loads when shown and on Refresh.
class ReportPage : public QWidget
{
    Q_OBJECT
public:
    explicit ReportPage(QWidget *parent = nullptr);
    ~ReportPage() override;

    // Loads the chosen period and shows it; a period that ends before it starts is
    // refused with a box and what is shown stays.
    void refresh();

    // A shift of the day, whole hours; one that ends at or before its start ends the next day.
    struct Shift {
        int startHour = 0;
        int endHour = 0; // 24: the next day's 00:00
    };
    // "06-14,14-22,22-06"; an empty list when the text is not such a list.
    static QList<Shift> parseShifts(const QString &text);

    // What the chart of that object name draws, for checks: its bar sets first, then its
    // lines, each as (row of the table, value).
    QList<QPointF> seriesPoints(const QString &chartName, int series) const;
    int seriesCount(const QString &chartName) const;

protected:
    void showEvent(QShowEvent *event) override;

private slots:
    void on_btnRefresh_clicked();
    void on_btnExport_clicked();
    void onPeriodChange(int index);

private:
    bool periodRange(QDateTime *from, QDateTime *to) const;
    void showReport();
    void showSummary();

    Ui::ReportPage *ui;
    QList<Shift> shifts;
    jobs::Report shown;
    bool loaded = false;
};
