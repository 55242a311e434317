#pragma once
// Printf-style formatting of the program's message texts ("Unable to Ping \"%s\" in %dms").
// The texts are kept exactly as the program shows and logs them, so they are formatted
// with their own %-directives rather than rewritten into QString::arg() placeholders.

#include <QString>
#include <QVariant>
#include <QVariantList>

namespace velmora {

// Supports %s, %d, %u, %x, %X and %%; each directive takes the next argument.
// A directive without an argument is left as written; extra arguments are ignored.
QString DfxFormat(const QString& format, const QVariantList& args);

namespace detail {
// Character strings become texts; everything else goes in as its own QVariant type, so
// that an unsigned code given to %d still prints as a signed 32-bit number.
inline QVariant FormatArg(const char* text) { return QString::fromUtf8(text); }
template <typename T> QVariant FormatArg(const T& value) { return QVariant::fromValue(value); }
} // namespace detail

template <typename... Args>
QString Fmt(const char* format, const Args&... args)
{
    return DfxFormat(QString::fromUtf8(format), QVariantList{detail::FormatArg(args)...});
}

} // namespace velmora
