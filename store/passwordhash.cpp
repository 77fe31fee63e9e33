#include "store/passwordhash.h"

#include <sodium.h>

namespace passwordhash {

namespace {

bool ready()
{
    static const bool initialised = sodium_init() >= 0;
    return initialised;
}

} // namespace

QString make(const QString &password)
{
    if (!ready())
        return QString();
    const QByteArray bytes = password.toUtf8();
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, bytes.constData(), quint64(bytes.size()), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE)
        != 0)
        return QString();
    return QString::fromLatin1(out);
}

bool isHash(const QString &stored)
{
    return stored.startsWith(QLatin1String("$argon2id$"));
}

bool matches(const QString &stored, const QString &password)
{
    const QByteArray typed = password.toUtf8();
    if (isHash(stored)) {
        if (!ready())
            return false;
        const QByteArray hash = stored.toLatin1();
        return crypto_pwhash_str_verify(hash.constData(), typed.constData(), quint64(typed.size())) == 0;
    }
    const QByteArray plain = stored.toUtf8();
    if (plain.size() != typed.size() || !ready())
        return false;
    return sodium_memcmp(plain.constData(), typed.constData(), size_t(plain.size())) == 0;
}

} // namespace passwordhash
