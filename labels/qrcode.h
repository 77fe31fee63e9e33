// The QR symbol of an identifier as a matrix of modules, for the label renderers.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>
#include <QVector>

namespace labels {

class QrCode
{
    Q_DECLARE_TR_FUNCTIONS(QrCode)

public:
    // Encodes exactly `data` in byte mode with error correction M. Returns false and sets
    // `error` when the bytes do not fit a QR symbol (or the encoder fails).
    static bool encode(const QByteArray &data, QrCode *out, QString *error);

    int size() const { return m_size; } // modules per side, quiet zone not included
    bool dark(int x, int y) const { return m_modules.at(y * m_size + x); }

private:
    int m_size = 0;
    QVector<bool> m_modules;
};

} // namespace labels
