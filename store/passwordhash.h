// Passwords as the pool keeps them: Argon2id hashes (libsodium's crypto_pwhash_str,
// interactive limits), checked on the station so the typed text never leaves it.
#pragma once

#include <QString>

namespace passwordhash {

// The hash to store for `password` (its UTF-8 bytes); empty when it could not be made
// (out of memory).
QString make(const QString &password);
// True when `stored` is a hash this module made (as opposed to a plain-text password of
// an older pool).
bool isHash(const QString &stored);
// True when `password` matches `stored`: a hash is checked with Argon2id; any other stored
// text is an older pool's plain password, compared in constant time.
bool matches(const QString &stored, const QString &password);

} // namespace passwordhash
