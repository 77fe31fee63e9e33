#include "widgets/messagebox.h"

#include <QCoreApplication>
#include <QFileDialog>

namespace {

// Texts the toolkit itself puts on the boxes' buttons and in the file dialog. Only one
// translation file is loaded, so the program's own carries them.
[[maybe_unused]] const char *const toolkitTexts[] = {
    QT_TRANSLATE_NOOP("QPlatformTheme", "OK"),
    QT_TRANSLATE_NOOP("QPlatformTheme", "&Yes"),
    QT_TRANSLATE_NOOP("QPlatformTheme", "&No"),
    QT_TRANSLATE_NOOP("QPlatformTheme", "Cancel"),
    QT_TRANSLATE_NOOP("QFileDialog", "Look in:"),
    QT_TRANSLATE_NOOP("QFileDialog", "File &name:"),
    QT_TRANSLATE_NOOP("QFileDialog", "Files of type:"),
    QT_TRANSLATE_NOOP("QFileDialog", "&Open"),
    QT_TRANSLATE_NOOP("QFileDialog", "&Save"),
    QT_TRANSLATE_NOOP("QFileSystemModel", "Name"),
    QT_TRANSLATE_NOOP("QFileSystemModel", "Date Modified"),
};

bool scripted = false;
QList<QMessageBox::StandardButton> queuedAnswers;
QList<MessageBox::Shown> shownBoxes;
QList<QString> queuedFileNames;
QList<FileDialog::Call> fileCalls;

QMessageBox::Icon iconOf(MessageBox::Kind kind)
{
    switch (kind) {
    case MessageBox::Information:
        return QMessageBox::Information;
    case MessageBox::Warning:
        return QMessageBox::Warning;
    case MessageBox::Critical:
        return QMessageBox::Critical;
    case MessageBox::Question:
        return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButton firstButton(QMessageBox::StandardButtons buttons)
{
    for (uint b = QMessageBox::FirstButton; b <= QMessageBox::LastButton; b <<= 1)
        if (buttons & b)
            return QMessageBox::StandardButton(b);
    return QMessageBox::NoButton;
}

} // namespace

QMessageBox::StandardButton MessageBox::show(Kind kind, QWidget *parent, const QString &title, const QString &text,
                                             QMessageBox::StandardButtons buttons,
                                             QMessageBox::StandardButton defaultButton)
{
    QMessageBox::StandardButton answer;
    if (scripted) {
        if (!queuedAnswers.isEmpty())
            answer = queuedAnswers.takeFirst();
        else
            answer = defaultButton != QMessageBox::NoButton ? defaultButton : firstButton(buttons);
    } else {
        QMessageBox box(iconOf(kind), title, text, buttons, parent);
        if (defaultButton != QMessageBox::NoButton)
            box.setDefaultButton(defaultButton);
        answer = QMessageBox::StandardButton(box.exec());
    }
    shownBoxes.append({kind, title, text, buttons, defaultButton, answer});
    return answer;
}

void MessageBox::setScripted(bool on)
{
    scripted = on;
}
void MessageBox::setNextAnswer(QMessageBox::StandardButton answer)
{
    queuedAnswers.append(answer);
}
QList<MessageBox::Shown> MessageBox::shown()
{
    return shownBoxes;
}

MessageBox::Shown MessageBox::last()
{
    return shownBoxes.isEmpty() ? Shown{Information, {}, {}, {}, QMessageBox::NoButton, QMessageBox::NoButton}
                                : shownBoxes.last();
}

void MessageBox::clear()
{
    shownBoxes.clear();
    queuedAnswers.clear();
}

QString FileDialog::getOpenFileName(QWidget *parent, const QString &caption, const QString &dir, const QString &filter)
{
    fileCalls.append({caption, dir, filter, false});
    if (scripted)
        return queuedFileNames.isEmpty() ? QString() : queuedFileNames.takeFirst();
    return QFileDialog::getOpenFileName(parent, caption, dir, filter);
}

QString FileDialog::getSaveFileName(QWidget *parent, const QString &caption, const QString &dir, const QString &filter,
                                    QString *selectedFilter)
{
    fileCalls.append({caption, dir, filter, true});
    if (scripted)
        return queuedFileNames.isEmpty() ? QString() : queuedFileNames.takeFirst();
    return QFileDialog::getSaveFileName(parent, caption, dir, filter, selectedFilter);
}

QString FileDialog::getExportFileName(QWidget *parent, const QString &caption, bool *xlsx)
{
    QString selected;
    const QString csvFilter = QCoreApplication::translate("FileDialog", "CSV files") + QStringLiteral(" (*.csv)");
    const QString xlsxFilter = QCoreApplication::translate("FileDialog", "Excel workbooks")
        + QStringLiteral(" (*.xlsx)");
    QString path = getSaveFileName(parent, caption, QStringLiteral("."), csvFilter + QStringLiteral(";;") + xlsxFilter,
                                   &selected);
    *xlsx = path.endsWith(QLatin1String(".xlsx"), Qt::CaseInsensitive);
    if (!path.isEmpty() && !*xlsx && !path.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive)) {
        *xlsx = selected == xlsxFilter;
        path += *xlsx ? QStringLiteral(".xlsx") : QStringLiteral(".csv");
    }
    return path;
}

void FileDialog::setNextFileName(const QString &fileName)
{
    queuedFileNames.append(fileName);
}
QList<FileDialog::Call> FileDialog::calls()
{
    return fileCalls;
}

void FileDialog::clear()
{
    fileCalls.clear();
    queuedFileNames.clear();
}
