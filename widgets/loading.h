#pragma once

#include <QDialog>

namespace Ui {
class Loading;
}
class QMovie;

// Frameless busy indicator shown while a long job runs on the UI thread. The owner
// keeps one for its whole life and alternates start() and stop().
class Loading : public QDialog
{
    Q_OBJECT
public:
    explicit Loading(QWidget *parent = nullptr);
    ~Loading() override;

    // Shows the dialog application-modal and returns at once; no nested event loop.
    void start();
    // Hides the dialog; harmless when it is already hidden.
    void stop();

    // Text under "Waiting..." (a running count, say). It is painted at once, so a job
    // that blocks the event loop can still report progress; empty hides the line.
    void setProgress(const QString &text);

private:
    Ui::Loading *ui;
    QMovie *movie;
};
