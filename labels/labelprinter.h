// Where labels go, as tarnwell.ini's [labels] printer= names it:
//
//   printer=cups:QUEUE          a print queue of the system, through Qt's print support
//   printer=zpl://HOST:PORT     a label printer taking ZPL on a raw TCP port (9100 when no port)
//   printer=pdf:FOLDER          one PDF file per label in a folder
//
// A printer takes one label at a time and says whether it left the station.
#pragma once

#include "labels/labeltemplate.h"

#include <QCoreApplication>
#include <QString>
#include <memory>

namespace labels {

struct PrinterSetting {
    enum Kind {
        Cups,
        Zpl,
        PdfFolder
    };
    Kind kind = PdfFolder;
    QString target; // the queue, the host or the folder
    quint16 port = 9100;
    QString text; // as written in the file: what the pool records as the printer

    // Reads a printer= value; false with `error` (for the operator) when it names none of the three.
    static bool parse(const QString &text, PrinterSetting *out, QString *error);
};

class LabelPrinter
{
    Q_DECLARE_TR_FUNCTIONS(LabelPrinter)

public:
    // What became of one label.
    enum class Sent {
        Printed,     // handed over whole: the printer (or the system's queue) has it
        NotSent,     // nothing usable left the station (no answer, refused, no such queue): try again later
        Unprintable, // the label cannot be made from these values (QR too long...): trying again will not help
    };
    // Whether a label whose sending was cut off (the program stopped) reached the printer.
    enum class Delivered {
        Yes,
        No,
        Unknown
    };

    virtual ~LabelPrinter() = default;
    // Sends one label. `jobName` is unique per label copy (it names the PDF file or the
    // print job). `error` says why when it is not Printed.
    virtual Sent print(const LabelTemplate &t, const LabelValues &values, const QString &jobName, QString *error) = 0;
    // For a send cut off by the program's end: what this printer can tell of the job.
    virtual Delivered delivered(const QString &jobName) const;

    static std::unique_ptr<LabelPrinter> make(const PrinterSetting &setting);
};

} // namespace labels
