// The export of the pool: the save dialog, the export job for the current search, its box.
#include "serial/serial.h"

#include "jobs/exportjob.h"
#include "widgets/loading.h"
#include "widgets/messagebox.h"

#include <QCoreApplication>
#include <QTimer>

namespace {

const int kBusyDelayMs = 200;

bool exportRunning = false;

// Keeps the busy dialog alive and showing how far the export is.
class BusyListener : public jobs::ExportListener
{
public:
    explicit BusyListener(Loading *busy)
        : loading(busy)
    {
    }

    void progress(qint64 done, qint64 total) override
    {
        if (loading)
            loading->setProgress(Serial::tr("%1 of %2 rows written").arg(done).arg(total));
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }

private:
    Loading *const loading;
};

} // namespace

void Serial::on_btnExport_clicked()
{
    if (exportRunning)
        return;
    bool xlsx = false;
    const QString path = FileDialog::getExportFileName(this, tr("Export"), &xlsx);
    if (path.isEmpty())
        return;
    exportRunning = true;
    if (loading)
        loading->start();
    // Lets the event loop show the busy dialog before the export blocks it.
    QTimer::singleShot(kBusyDelayMs, this, [this, path, xlsx] { exportTo(path, xlsx); });
}

void Serial::exportTo(const QString &path, bool xlsx)
{
    BusyListener listener(loading);
    const jobs::ExportResult run =
        jobs::ExportJob(path, xlsx ? TableWriter::Format::Xlsx : TableWriter::Format::Csv, filter).run(listener);
    const QString logNote = run.logged
        ? QString()
        : QStringLiteral("\n") + tr("The export could not be logged: %1").arg(run.logFailure);
    if (loading)
        loading->stop();
    if (run.ok)
        MessageBox::information(nullptr, tr("Information"),
                                tr("%1 serial numbers were exported to %2.").arg(run.written).arg(path) + logNote,
                                QMessageBox::Ok);
    else
        MessageBox::critical(
            nullptr, tr("Error"),
            tr("The export to %1 failed: %2\nNothing was written under that name.").arg(path, run.failure) + logNote,
            QMessageBox::Ok);
    exportRunning = false;
}
