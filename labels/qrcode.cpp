#include "labels/qrcode.h"

#include <qrencode.h>

#include <cerrno>

namespace labels {

bool QrCode::encode(const QByteArray &data, QrCode *out, QString *error)
{
    if (data.isEmpty()) {
        *error = tr("There is no identifier for the QR code.");
        return false;
    }
    // QRencode_encodeData takes the bytes as they are (byte mode, no text interpretation,
    // NUL allowed), so the symbol holds exactly what the device holds.
    errno = 0;
    QRcode *code = QRcode_encodeData(data.size(), reinterpret_cast<const unsigned char *>(data.constData()), 0,
                                     QR_ECLEVEL_M);
    if (!code) {
        *error = errno == ERANGE ? tr("The identifier is too long for a QR code (%1 bytes).").arg(data.size())
                                 : tr("The QR code could not be made.");
        return false;
    }
    out->m_size = code->width;
    out->m_modules.resize(code->width * code->width);
    // Bit 0 of each byte is the module's colour; the other bits describe its role.
    for (int i = 0; i < code->width * code->width; ++i)
        out->m_modules[i] = (code->data[i] & 1) != 0;
    QRcode_free(code);
    return true;
}

} // namespace labels
