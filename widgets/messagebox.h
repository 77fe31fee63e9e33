// The one way the program shows message boxes and the open- and save-file dialogs.
// Production calls the real QMessageBox / QFileDialog; tests queue answers and read
// back exactly what the operator would have seen.
#pragma once

#include <QList>
#include <QMessageBox>
#include <QString>

class QWidget;

class MessageBox
{
public:
    enum Kind {
        Information,
        Warning,
        Critical,
        Question
    };

    struct Shown {
        Kind kind;
        QString title;
        QString text;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton defaultButton;
        QMessageBox::StandardButton answer;
    };

    static QMessageBox::StandardButton show(Kind kind, QWidget *parent, const QString &title, const QString &text,
                                            QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                            QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

    static QMessageBox::StandardButton information(QWidget *parent, const QString &title, const QString &text,
                                                   QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                                   QMessageBox::StandardButton defaultButton = QMessageBox::NoButton)
    {
        return show(Information, parent, title, text, buttons, defaultButton);
    }
    static QMessageBox::StandardButton warning(QWidget *parent, const QString &title, const QString &text,
                                               QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                               QMessageBox::StandardButton defaultButton = QMessageBox::NoButton)
    {
        return show(Warning, parent, title, text, buttons, defaultButton);
    }
    static QMessageBox::StandardButton critical(QWidget *parent, const QString &title, const QString &text,
                                                QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                                QMessageBox::StandardButton defaultButton = QMessageBox::NoButton)
    {
        return show(Critical, parent, title, text, buttons, defaultButton);
    }
    static QMessageBox::StandardButton question(QWidget *parent, const QString &title, const QString &text,
                                                QMessageBox::StandardButtons buttons = QMessageBox::Yes
                                                    | QMessageBox::No,
                                                QMessageBox::StandardButton defaultButton = QMessageBox::NoButton)
    {
        return show(Question, parent, title, text, buttons, defaultButton);
    }

    // --- for tests ---
    // Scripted mode: no real box ever opens. A queued answer is used once; with none
    // queued the box answers with its default button, else its first button.
    static void setScripted(bool on);
    static void setNextAnswer(QMessageBox::StandardButton answer);
    static QList<Shown> shown();
    static Shown last();
    static void clear();
};

class FileDialog
{
public:
    static QString getOpenFileName(QWidget *parent, const QString &caption, const QString &dir, const QString &filter);
    // `selectedFilter` (may be null) gets the filter the operator chose.
    static QString getSaveFileName(QWidget *parent, const QString &caption, const QString &dir, const QString &filter,
                                   QString *selectedFilter = nullptr);
    // A file to export to, CSV or XLSX: a name without either suffix gets the one of the
    // filter the operator chose. Empty when cancelled; `xlsx` tells the format.
    static QString getExportFileName(QWidget *parent, const QString &caption, bool *xlsx);

    struct Call {
        QString caption;
        QString dir;
        QString filter;
        bool save = false;
    };

    // --- for tests: in scripted mode the dialog returns the queued name (empty if none) ---
    static void setNextFileName(const QString &fileName);
    static QList<Call> calls();
    static void clear();
};
