#include "applib/DfxFormat.h"

#include <QMetaType>
#include <cstdint>

namespace velmora {

namespace {

// Integers of up to 32 bits print as the 32-bit values the message texts were written for
// (an error code 0xE0020001 given to %d reads -536739839); wider integers keep their width.
bool IsWide(const QVariant& value)
{
    switch (value.metaType().id()) {
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Long:
    case QMetaType::ULong:
        return value.metaType().sizeOf() > 4;
    default:
        return false;
    }
}

bool IsUnsignedType(const QVariant& value)
{
    switch (value.metaType().id()) {
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar:
        return true;
    default:
        return false;
    }
}

// The argument's bits as a 64-bit pattern; unsigned values are not sign-extended.
uint64_t Bits(const QVariant& value)
{
    if (IsUnsignedType(value))
        return value.toULongLong();
    return static_cast<uint64_t>(value.toLongLong());
}

QString Signed(const QVariant& value)
{
    const uint64_t bits = Bits(value);
    if (IsWide(value))
        return QString::number(static_cast<qint64>(bits));
    return QString::number(static_cast<int32_t>(static_cast<uint32_t>(bits)));
}

QString Unsigned(const QVariant& value, int base)
{
    const uint64_t bits = Bits(value);
    if (IsWide(value))
        return QString::number(static_cast<quint64>(bits), base);
    return QString::number(static_cast<uint32_t>(bits), base);
}

} // namespace

QString DfxFormat(const QString& format, const QVariantList& args)
{
    QString result;
    result.reserve(format.size() + 16 * args.size());
    qsizetype next = 0;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format.at(i);
        if (c != u'%' || i + 1 >= format.size()) {
            result.append(c);
            continue;
        }
        const QChar directive = format.at(i + 1);
        if (directive == u'%') {
            result.append(u'%');
            ++i;
            continue;
        }
        const bool known = directive == u's' || directive == u'd' || directive == u'u' ||
                           directive == u'x' || directive == u'X';
        if (!known || next >= args.size()) {
            // Left as written: "%DESKTOP%" in a path, or a directive without an argument.
            result.append(c);
            continue;
        }
        const QVariant& arg = args.at(next++);
        switch (directive.unicode()) {
        case u's':
            result.append(arg.toString());
            break;
        case u'd':
            result.append(Signed(arg));
            break;
        case u'u':
            result.append(Unsigned(arg, 10));
            break;
        case u'x':
            result.append(Unsigned(arg, 16));
            break;
        case u'X':
            result.append(Unsigned(arg, 16).toUpper());
            break;
        }
        ++i;
    }
    return result;
}

} // namespace velmora
