#pragma once
// Scrambling of stored passwords. One fixed key, built into the program, the same for every
// installation: this keeps a password from being read off the database at a glance, it is
// not encryption.

#include <QByteArray>
#include <QString>

namespace velmora {

// The routine scrambles and unscrambles alike: ScrambleText(ScrambleText(t)) == t for every
// byte string of at most 255 bytes (longer input is cut to 255 first). The keystream depends
// only on positions, so a cut scrambled value unscrambles to the same-length beginning.
QByteArray ScrambleText(const QByteArray& text);

// A scrambled byte can be 0x00 or above 0x7F, which neither a UTF-8 text column nor
// PostgreSQL's text type carries as it is. The stored form therefore writes each scrambled
// byte b as the one character U+2800 + b: one character per byte, never NUL, never one of
// the two password markers, and the same in every backend.
QString EncodeScrambled(const QByteArray& scrambled);
// The reverse; a character outside that block (a value written by other means) is taken as
// its low byte, so that any stored text still unscrambles to something.
QByteArray DecodeScrambled(const QString& stored);

// Width of the password column and of a clear password, in bytes of its UTF-8 form.
constexpr int kMaxPasswordBytes = 80;

// The stored form of a typed password: its UTF-8 bytes cut to 80 (at a character boundary),
// scrambled, encoded. An empty password gives an empty text.
QString ScramblePassword(const QString& clear);
// The clear password of a stored (scrambled, encoded) value.
QString UnscramblePassword(const QString& stored);

} // namespace velmora
