#include "applib/CryptDfx.h"

namespace velmora {

namespace {
const char kScrambleKey[] = "{7C3E19F0-A2D4-4B6C-8F31-C0E94D7A1B58}";
constexpr int kKeyLength = sizeof(kScrambleKey) - 1;
static_assert(kKeyLength == 38);
constexpr int kMaxScrambleBytes = 255;
constexpr char16_t kStoredBase = 0x2800;

// Cuts UTF-8 to at most `limit` bytes without splitting a character.
QByteArray CutUtf8(const QByteArray& utf8, int limit)
{
    if (utf8.size() <= limit)
        return utf8;
    int end = limit;
    // Step back over continuation bytes (10xxxxxx) to the start of the cut character.
    while (end > 0 && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80)
        --end;
    return utf8.left(end);
}
} // namespace

QByteArray ScrambleText(const QByteArray& text)
{
    QByteArray out = text.left(kMaxScrambleBytes);
    if (out.isEmpty())
        return out;
    int k = kKeyLength - 1;
    quint8 m = static_cast<quint8>((kKeyLength - 1) % 256);
    for (char& c : out) {
        if (!(m & 0x08))
            m ^= 0x01;
        m = static_cast<quint8>(~m);
        m = static_cast<quint8>((m >> 1) | (m << 7));
        c = static_cast<char>(static_cast<quint8>(c) ^ static_cast<quint8>(kScrambleKey[k]) ^ m);
        if (--k < 0)
            k = kKeyLength - 1;
    }
    return out;
}

QString EncodeScrambled(const QByteArray& scrambled)
{
    QString stored;
    stored.reserve(scrambled.size());
    for (char c : scrambled)
        stored.append(QChar(char16_t(kStoredBase + static_cast<quint8>(c))));
    return stored;
}

QByteArray DecodeScrambled(const QString& stored)
{
    QByteArray bytes;
    bytes.reserve(stored.size());
    for (QChar ch : stored) {
        const char16_t u = ch.unicode();
        bytes.append(static_cast<char>(u >= kStoredBase && u <= kStoredBase + 0xFF ? u - kStoredBase : u & 0xFF));
    }
    return bytes;
}

QString ScramblePassword(const QString& clear)
{
    return EncodeScrambled(ScrambleText(CutUtf8(clear.toUtf8(), kMaxPasswordBytes)));
}

QString UnscramblePassword(const QString& stored)
{
    return QString::fromUtf8(ScrambleText(DecodeScrambled(stored)));
}

} // namespace velmora
