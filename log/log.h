#pragma once

#include "store/datastore.h"
#include "widgets/pager.h"

#include <QList>
#include <QWidget>

namespace Ui {
class Log;
}

// The operation log, newest first, one page at a time. Read-only; it reloads only
// when the main window asks (refreshPaging) and whenever it is resized.
class Log : public QWidget
{
    Q_OBJECT
public:
    explicit Log(QWidget *parent = nullptr);
    ~Log() override;

    // Recounts the log and shows page 1.
    void refreshPaging();

protected:
    void resizeEvent(QResizeEvent *event) override;

private slots:
    void on_btnFirst_clicked();
    void on_btnPrev_clicked();
    void on_btnNext_clicked();
    void on_btnLast_clicked();
    void onPageChange(int curIndex);

private:
    void showPage(int page);
    void showRows(const QList<LogRow> &rows);
    void updateSummary();

    Ui::Log *ui;
    QList<LogRow> pageRecords;
    // Page size (1 until the first resize), count and the page shown.
    Pager *pager;
};
