// The serial-number import: choosing a file, running the import job, and its boxes.
#include "serial/serial.h"
#include "ui_serial.h"

#include "base/csvfield.h"
#include "jobs/importjob.h"
#include "widgets/displaytext.h"
#include "widgets/loading.h"
#include "widgets/messagebox.h"

#include <QCoreApplication>
#include <QSaveFile>
#include <QTimer>

namespace {

const int kBusyDelayMs = 200;

// True while an import runs. The busy dialog keeps the operator out, but the event
// processing that keeps it alive also runs timers, and a second run must not start
// inside the first.
bool importRunning = false;

// Keeps the busy dialog alive and showing the count while the job reads.
class BusyListener : public jobs::ImportListener
{
public:
    explicit BusyListener(Loading *busy)
        : loading(busy)
    {
    }

    void progress(qint64 done, qint64) override
    {
        if (loading)
            loading->setProgress(Serial::tr("%1 values read").arg(done));
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }

private:
    Loading *const loading;
};

// The lines of the result box about an export's used and pending rows; empty for any
// other file.
QString statedSummary(const jobs::StatedTally &t)
{
    const struct {
        qint64 count;
        const char *text;
    } lines[] = {
        {t.cameIn, QT_TRANSLATE_N_NOOP("Serial", "%n came in as used or pending, with their devices.")},
        {t.present, QT_TRANSLATE_N_NOOP("Serial", "%n were already in the pool for the same device.")},
        {t.noCustomer, QT_TRANSLATE_N_NOOP("Serial", "%n refused: this pool has no customer of the name given.")},
        {t.otherDevice, QT_TRANSLATE_N_NOOP("Serial", "%n refused: used or pending here for another device.")},
        {t.retired, QT_TRANSLATE_N_NOOP("Serial", "%n refused: retired here.")},
        {t.deviceHolds, QT_TRANSLATE_N_NOOP("Serial", "%n refused: the device already holds another identifier here.")},
        {t.unknownState, QT_TRANSLATE_N_NOOP("Serial", "%n refused: the Is used text is not a state.")},
    };
    QString out;
    for (const auto &line : lines)
        if (line.count > 0)
            out += QStringLiteral("\n") + Serial::tr(line.text, nullptr, int(line.count));
    return out;
}

// The values not stored because the pool holds them as used, pending or retired (the
// failed count alone would hide an identifier that is in a device), or an empty text
// when there were none.
QString heldNote(const NewSerialsTally &inPool)
{
    if (inPool.used + inPool.pending + inPool.retired == 0)
        return QString();
    return QStringLiteral("\n")
        + Serial::tr("Already in the pool, not stored again: %1 used, %2 pending, %3 retired, %4 unused.")
              .arg(inPool.used)
              .arg(inPool.pending)
              .arg(inPool.retired)
              .arg(inPool.unused);
}

QString refusalText(xmlimport::Refusal refusal)
{
    switch (refusal) {
    case xmlimport::Refusal::TooLarge:
        return Serial::tr("The file is larger than %1 MiB and was not imported.").arg(xmlimport::kMaxFileBytes >> 20);
    case xmlimport::Refusal::DocumentType:
        return Serial::tr("The file declares entities and was not imported.");
    case xmlimport::Refusal::TooDeep:
        return Serial::tr("The file nests elements deeper than %1 levels and was not imported.")
            .arg(xmlimport::kMaxDepth);
    case xmlimport::Refusal::TextTooLong:
        return Serial::tr("The file holds a text longer than %1 characters and was not imported.")
            .arg(xmlimport::kMaxTextChars);
    case xmlimport::Refusal::TooManyNodes:
        return Serial::tr("The file holds more than %1 elements and texts and was not imported.")
            .arg(xmlimport::kMaxNodes);
    case xmlimport::Refusal::NotUtf8:
        return Serial::tr("The file is not valid UTF-8 and was not imported.");
    case xmlimport::Refusal::Malformed:
    case xmlimport::Refusal::CannotOpen:
    case xmlimport::Refusal::None:
        break;
    }
    return QString();
}

QString csvRefusalText(csvimport::Refusal refusal, qint64 line)
{
    switch (refusal) {
    case csvimport::Refusal::Encoding:
        return Serial::tr("The file is neither UTF-8 nor UTF-16 text with a byte order mark and was not imported.");
    case csvimport::Refusal::UnterminatedQuote:
        return Serial::tr("The quoted field that begins on line %1 is never closed; the file was not imported.")
            .arg(line);
    case csvimport::Refusal::StrayQuote:
        return Serial::tr("Line %1 holds a quote outside a quoted field; the file was not imported.").arg(line);
    case csvimport::Refusal::RecordTooLong:
        return Serial::tr("Line %1 is longer than %2 characters; the file was not imported.")
            .arg(line)
            .arg(csvimport::kMaxRecordChars);
    case csvimport::Refusal::CannotOpen:
    case csvimport::Refusal::None:
        break;
    }
    return QString();
}

// The box of a file the job refused before reading it.
void showRefusal(const jobs::ImportResult &result, QWidget *page)
{
    using Refusal = jobs::ImportResult::Refusal;
    switch (result.refusal) {
    case Refusal::None:
        break;
    case Refusal::CannotOpen:
        MessageBox::information(nullptr, Serial::tr("title"), Serial::tr("open error!"), QMessageBox::Ok);
        break;
    case Refusal::NotWorkbook:
        // "EXCEL lose" is the program's own wording, kept.
        MessageBox::critical(page, Serial::tr("Error"), Serial::tr("EXCEL lose"), QMessageBox::Ok);
        break;
    case Refusal::Xml:
        if (result.xml == xmlimport::Refusal::Malformed) {
            // "parse file failed at line row and column" is the program's own untranslated wording, kept.
            MessageBox::information(nullptr, QStringLiteral("title"),
                                    QStringLiteral("parse file failed at line row and column")
                                        + QString::number(result.line) + QLatin1Char(',')
                                        + QString::number(result.column),
                                    QMessageBox::Ok);
        } else {
            MessageBox::warning(nullptr, Serial::tr("Warning"), refusalText(result.xml), QMessageBox::Ok);
        }
        break;
    case Refusal::Csv:
        MessageBox::warning(nullptr, Serial::tr("Warning"), csvRefusalText(result.csv, result.line), QMessageBox::Ok);
        break;
    case Refusal::NotPermitted:
        MessageBox::warning(nullptr, Serial::tr("Warning"),
                            Serial::tr("Only an administrator may import serial numbers."), QMessageBox::Ok);
        break;
    }
}

// A file imported before is told before anything is stored: its identifiers are in the
// pool already (the import would refuse them), or were deleted on purpose.
bool importAgainConfirmed(const QString &path)
{
    QList<BatchReport> earlier;
    if (!jobs::ImportJob::earlierImports(path, &earlier)) {
        MessageBox::critical(nullptr, Serial::tr("Error"),
                             Serial::tr("The store could not answer: %1").arg(storeError()), QMessageBox::Ok);
        return false;
    }
    if (earlier.isEmpty())
        return true;
    const BatchReport &last = earlier.first();
    const QString text = Serial::tr("This file was already imported on %1 at station %2 by %3 (%4 stored, %5 refused).")
                             .arg(last.date, displayText(last.station),
                                  last.person.isEmpty() ? Serial::tr("nobody signed in") : displayText(last.person))
                             .arg(last.stored)
                             .arg(last.refused)
        + QStringLiteral("\n") + Serial::tr("Import it again?");
    return MessageBox::question(nullptr, Serial::tr("Warning"), text, QMessageBox::Yes | QMessageBox::No,
                                QMessageBox::No)
        == QMessageBox::Yes;
}

// The values the import refused, one per line with the reason, as CSV (UTF-8).
void saveRefusals(const jobs::ImportResult &run, QWidget *page)
{
    const QString path = FileDialog::getSaveFileName(page, Serial::tr("Save"), QStringLiteral("refused.csv"),
                                                     Serial::tr("Files") + QStringLiteral("(*.csv)"));
    if (path.isEmpty())
        return;
    QByteArray out("\xEF\xBB\xBF");
    const auto field = [&out](const QString &text) {
        const QByteArray bytes = text.toUtf8();
        csvfield::append(out, bytes.constData(), std::size_t(bytes.size()));
    };
    field(Serial::tr("Value"));
    out += ',';
    field(Serial::tr("Reason"));
    out += "\r\n";
    for (const jobs::RefusedValue &r : run.refusals) {
        field(r.value);
        out += ',';
        field(r.why == jobs::ImportRefusal::Pattern ? Serial::tr("does not match the customer's UUID pattern")
                  : r.why == jobs::ImportRefusal::ErrorCell
                  ? Serial::tr("the cell holds an error or a stale formula result")
                  : Serial::tr("empty, too long or unreadable"));
        out += "\r\n";
    }
    if (run.refusalsNotListed > 0) {
        field(Serial::tr("(%1 more not listed)").arg(run.refusalsNotListed));
        out += ",\r\n";
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(out) != out.size() || !file.commit())
        MessageBox::critical(nullptr, Serial::tr("Error"),
                             Serial::tr("The list could not be saved: %1").arg(file.errorString()), QMessageBox::Ok);
}

} // namespace

void Serial::on_btnChoose_clicked()
{
    ui->lineEditPath->setText(FileDialog::getOpenFileName(this, tr("Open"), QStringLiteral("."),
                                                          tr("Files") + QStringLiteral("(*.xls *.xlsx *.xml *.csv)")));
}

void Serial::on_btnImport_clicked()
{
    if (importRunning)
        return;
    if (loading)
        loading->start();
    // Lets the event loop show the busy dialog before the import blocks it.
    QTimer::singleShot(kBusyDelayMs, this, &Serial::onImportUuid);
}

void Serial::onImportUuid()
{
    if (importRunning)
        return;
    importRunning = true;

    const int importCustomerId = ui->rbBrisvan->isChecked() ? 2 : 1;
    const QString path = ui->lineEditPath->text();
    using Outcome = jobs::ImportResult::Outcome;
    if (path.trimmed().isEmpty()) {
        MessageBox::warning(nullptr, tr("Warning"), tr("Please enter a query path!"), QMessageBox::Yes);
    } else if (importAgainConfirmed(path)) {
        BusyListener listener(loading);
        const jobs::ImportResult run =
            jobs::ImportJob(path, importCustomerId, jobs::ImportJob::kindOf(path)).run(listener);
        if (run.outcome == Outcome::Refused)
            showRefusal(run, this);
        else
            showResult(run);
    }
    if (loading)
        loading->stop();
    importRunning = false;
}

void Serial::showResult(const jobs::ImportResult &run)
{
    using Outcome = jobs::ImportResult::Outcome;
    if (run.succeeded > 0)
        refreshPaging();
    const QString storedBefore = tr("%1 values were stored before the error.").arg(run.succeeded);
    const QString logNote = heldNote(run.inPool)
        + (run.logged ? QString()
                      : QStringLiteral("\n") + tr("The import could not be logged: %1").arg(run.logFailure));
    if (run.outcome == Outcome::Completed) {
        QString text = tr("Import completed, import successful ") + QString::number(run.succeeded) + tr(", failed ")
            + QString::number(run.failed) + statedSummary(run.stated) + logNote;
        if (run.patternRefused > 0)
            text += QStringLiteral("\n")
                + tr("%1 value(s) did not match the customer's UUID pattern.").arg(run.patternRefused);
        if (run.refusals.isEmpty()) {
            MessageBox::information(nullptr, tr("title"), text, QMessageBox::Ok);
            return;
        }
        text += QStringLiteral("\n") + tr("Save the list of refused values?");
        if (MessageBox::information(nullptr, tr("title"), text, QMessageBox::Ok | QMessageBox::Save)
            == QMessageBox::Save)
            saveRefusals(run, this);
    } else if (run.outcome == Outcome::ReadFailed) {
        // "EXCEL lose" is the program's own wording, kept.
        MessageBox::critical(this, tr("Error"), tr("EXCEL lose") + QStringLiteral("\n") + storedBefore + logNote,
                             QMessageBox::Ok);
    } else {
        MessageBox::critical(nullptr, tr("Error"),
                             tr("The store could not write: %1").arg(run.storeFailure) + QStringLiteral("\n")
                                 + storedBefore + logNote,
                             QMessageBox::Ok);
    }
}
