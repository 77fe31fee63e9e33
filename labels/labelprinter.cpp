#include "labels/labelprinter.h"

#include "labels/labelrender.h"
#include "labels/qrcode.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPageSize>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>
#include <QTcpSocket>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace labels {

namespace {

// How long a label printer may take to answer, to take the label, and to close after it.
constexpr int kZplTimeoutMs = 3000;

QString forms()
{
    return LabelPrinter::tr("cups:QUEUE (a print queue of this computer), zpl://HOST[:PORT] (a ZPL label printer "
                            "on the network, port 9100 when none is given) or pdf:FOLDER (one PDF file per label)");
}

// The ZPL printer's host and port (an IPv6 address in brackets), or false when `v` names none.
bool parseZpl(const QString &v, QString *host, quint16 *port)
{
    const QUrl url(v, QUrl::StrictMode);
    const int n = url.port(9100);
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty() || n < 1
        || !(url.path().isEmpty() || url.path() == QLatin1String("/")) || url.hasQuery() || url.hasFragment())
        return false;
    *host = url.host();
    *port = static_cast<quint16>(n);
    return true;
}

class ZplPrinter : public LabelPrinter
{
public:
    explicit ZplPrinter(const PrinterSetting &s)
        : m_host(s.target)
        , m_port(s.port)
    {
    }

    Sent print(const LabelTemplate &t, const LabelValues &values, const QString &, QString *error) override
    {
        QByteArray zpl;
        if (!LabelRender::toZpl(t, values, &zpl, error))
            return Sent::Unprintable;
        const QString where = (m_host.contains(QLatin1Char(':')) ? QLatin1Char('[') + m_host + QLatin1Char(']')
                                                                 : m_host)
            + QLatin1Char(':') + QString::number(m_port);
        QTcpSocket socket;
        const auto fail = [&](const QString &why) {
            *error = LabelPrinter::tr("The label printer at %1 does not answer: %2").arg(where, why);
            socket.abort();
            return Sent::NotSent;
        };
        socket.connectToHost(m_host, m_port);
        if (!socket.waitForConnected(kZplTimeoutMs))
            return fail(socket.error() == QAbstractSocket::SocketTimeoutError
                            ? LabelPrinter::tr("no connection within %1 s").arg(kZplTimeoutMs / 1000)
                            : socket.errorString());
        QElapsedTimer timer;
        timer.start();
        if (socket.write(zpl) != zpl.size())
            return fail(socket.errorString());
        while (socket.bytesToWrite() > 0)
            if (timer.hasExpired(kZplTimeoutMs) || !socket.waitForBytesWritten(kZplTimeoutMs - timer.elapsed()))
                return fail(LabelPrinter::tr("it took only part of the label (%1)").arg(socket.errorString()));
        return finish(socket.socketDescriptor(), timer, fail);
    }

private:
    // All bytes are with the system now. A raw port answers nothing, so what TCP itself tells
    // is all there is: the label is printed when the printer acknowledged every byte and did
    // not reset the connection (a printer that closes with bytes unread resets it). The end of
    // the label is sent, and the printer is given the time to close after it.
    template <typename Fail>
    static Sent finish(qintptr fd, const QElapsedTimer &timer, const Fail &fail)
    {
        const int sock = static_cast<int>(fd);
        if (::shutdown(sock, SHUT_WR) != 0)
            return fail(QString::fromLocal8Bit(std::strerror(errno)));
        bool closed = false;
        for (;;) {
            int err = 0;
            socklen_t len = sizeof err;
            if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err != 0)
                return fail(LabelPrinter::tr("it cut the connection before taking the whole label (%1)")
                                .arg(QString::fromLocal8Bit(std::strerror(err))));
            int unacknowledged = 0;
            if (::ioctl(sock, SIOCOUTQ, &unacknowledged) != 0)
                unacknowledged = 1;
            if (closed && unacknowledged == 0)
                return Sent::Printed;
            if (timer.hasExpired(kZplTimeoutMs)) {
                if (unacknowledged == 0) // it has every byte and keeps the line open
                    return Sent::Printed;
                return fail(LabelPrinter::tr("it did not take the whole label within %1 s").arg(kZplTimeoutMs / 1000));
            }
            // Short slices: the acknowledgement of the last bytes raises no event of its own.
            pollfd p{sock, POLLIN, 0};
            if (closed)
                ::poll(nullptr, 0, 20);
            else if (::poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
                char buffer[512]; // what a printer says back is not needed
                const ssize_t n = ::recv(sock, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n == 0)
                    closed = true;
                else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                    return fail(LabelPrinter::tr("it cut the connection before taking the whole label (%1)")
                                    .arg(QString::fromLocal8Bit(std::strerror(errno))));
            }
        }
    }

    QString m_host;
    quint16 m_port;
};

class PdfFolderPrinter : public LabelPrinter
{
public:
    explicit PdfFolderPrinter(const PrinterSetting &s)
        : m_folder(QDir::current().absoluteFilePath(s.target))
    {
    }

    Sent print(const LabelTemplate &t, const LabelValues &values, const QString &jobName, QString *error) override
    {
        QrCode qr;
        if (!LabelRender::prepareQr(t, values, &qr, error))
            return Sent::Unprintable;
        const QFileInfo folder(m_folder);
        if (!folder.isDir() && !(QFileInfo(folder.absolutePath()).isDir() && QDir().mkdir(m_folder))) {
            *error = LabelPrinter::tr("The label folder %1 does not exist and cannot be made.")
                         .arg(QDir::toNativeSeparators(m_folder));
            return Sent::NotSent;
        }
        // Written under a temporary name and renamed: a label file is whole or absent.
        return LabelRender::toPdf(t, values, pathOf(jobName), error) ? Sent::Printed : Sent::NotSent;
    }

    Delivered delivered(const QString &jobName) const override
    {
        return QFileInfo::exists(pathOf(jobName)) ? Delivered::Yes : Delivered::No;
    }

private:
    // Only [A-Za-z0-9._-] in the file's name, never a leading dot; a name that had to change
    // gets a digest of the original, so two different jobs never share a file.
    QString pathOf(const QString &jobName) const
    {
        QString name = jobName.left(160);
        for (QChar &c : name) {
            const ushort u = c.unicode();
            const bool safe = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '.'
                || u == '_' || u == '-';
            if (!safe)
                c = QLatin1Char('_');
        }
        if (name.startsWith(QLatin1Char('.')))
            name[0] = QLatin1Char('_');
        if (name != jobName)
            name += QLatin1Char('-')
                + QString::fromLatin1(
                        QCryptographicHash::hash(jobName.toUtf8(), QCryptographicHash::Sha256).toHex().left(12));
        return QDir(m_folder).filePath(name + QStringLiteral(".pdf"));
    }

    QString m_folder;
};

// Qt hands the page to the queue with cupsPrintFile and drops its answer: a queue that stops
// taking jobs would look printed. libcups, loaded by Qt's print support, keeps the last answer
// of this thread; it is read from the library already loaded (a station without libcups has
// no queues at all).
bool queueRefused(QString *why)
{
    void *cups = ::dlopen("libcups.so.2", RTLD_LAZY | RTLD_NOLOAD);
    if (!cups)
        return false;
    const auto lastError = reinterpret_cast<int (*)()>(::dlsym(cups, "cupsLastError"));
    const auto lastErrorString = reinterpret_cast<const char *(*)()>(::dlsym(cups, "cupsLastErrorString"));
    // IPP's successful answers are 0x0000 to 0x00FF.
    const bool refused = lastError && lastError() > 0x00FF;
    if (refused)
        *why = lastErrorString ? QString::fromUtf8(lastErrorString()) : QString::number(lastError(), 16);
    ::dlclose(cups);
    return refused;
}

class CupsPrinter : public LabelPrinter
{
public:
    explicit CupsPrinter(const PrinterSetting &s)
        : m_queue(s.target)
    {
    }

    Sent print(const LabelTemplate &t, const LabelValues &values, const QString &jobName, QString *error) override
    {
        QrCode qr;
        if (!LabelRender::prepareQr(t, values, &qr, error))
            return Sent::Unprintable;
        if (QPrinterInfo::printerInfo(m_queue).isNull()) {
            *error = LabelPrinter::tr("There is no print queue \"%1\" on this computer.").arg(m_queue);
            return Sent::NotSent;
        }
        QPrinter printer(QPrinter::HighResolution);
        printer.setPrinterName(m_queue);
        // The page is the label itself, drawn from its corner.
        printer.setFullPage(true);
        const QPageSize size(QSizeF(t.width, t.height), QPageSize::Millimeter, QString(), QPageSize::ExactMatch);
        if (!printer.isValid() || !printer.setPageSize(size)) {
            *error = LabelPrinter::tr("The print queue \"%1\" takes no page of %2 × %3 mm.")
                         .arg(m_queue)
                         .arg(t.width)
                         .arg(t.height);
            return Sent::NotSent;
        }
        printer.setPageMargins(QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter);
        printer.setDocName(jobName);
        printer.setCreator(QStringLiteral("Tarnwell"));
        QPainter painter;
        if (!painter.begin(&printer)) {
            *error = LabelPrinter::tr("The print queue \"%1\" did not take the label.").arg(m_queue);
            return Sent::NotSent;
        }
        LabelRender::paint(t, values, qr, &painter);
        QString why;
        if (!painter.end() || queueRefused(&why)) {
            *error = why.isEmpty()
                ? LabelPrinter::tr("The print queue \"%1\" did not take the label.").arg(m_queue)
                : LabelPrinter::tr("The print queue \"%1\" did not take the label: %2").arg(m_queue, why);
            return Sent::NotSent;
        }
        return Sent::Printed;
    }

private:
    QString m_queue;
};

} // namespace

bool PrinterSetting::parse(const QString &text, PrinterSetting *out, QString *error)
{
    PrinterSetting s;
    s.text = text;
    const QString v = text.trimmed();
    const auto refuse = [&](const QString &why) {
        *error = LabelPrinter::tr("Label printer \"%1\": %2. Write %3.").arg(text, why, forms());
        return false;
    };
    if (v.startsWith(QLatin1String("cups:"), Qt::CaseInsensitive)) {
        s.kind = Cups;
        s.target = v.mid(5);
        if (s.target.isEmpty())
            return refuse(LabelPrinter::tr("no print queue is named"));
    } else if (v.startsWith(QLatin1String("zpl://"), Qt::CaseInsensitive)) {
        s.kind = Zpl;
        if (!parseZpl(v, &s.target, &s.port))
            return refuse(LabelPrinter::tr("\"%1\" is not a host with a port from 1 to 65535").arg(v.mid(6)));
    } else if (v.startsWith(QLatin1String("pdf:"), Qt::CaseInsensitive)) {
        s.kind = PdfFolder;
        s.target = v.mid(4);
        if (s.target.isEmpty())
            return refuse(LabelPrinter::tr("no folder is named"));
    } else {
        return refuse(LabelPrinter::tr("not a kind of printer this program knows"));
    }
    *out = s;
    return true;
}

LabelPrinter::Delivered LabelPrinter::delivered(const QString &) const
{
    return Delivered::Unknown;
}

std::unique_ptr<LabelPrinter> LabelPrinter::make(const PrinterSetting &setting)
{
    switch (setting.kind) {
    case PrinterSetting::Cups:
        return std::make_unique<CupsPrinter>(setting);
    case PrinterSetting::Zpl:
        return std::make_unique<ZplPrinter>(setting);
    case PrinterSetting::PdfFolder:
        break;
    }
    return std::make_unique<PdfFolderPrinter>(setting);
}

} // namespace labels
