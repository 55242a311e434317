#include "applib/Exceptions.h"

#include "applib/DfxFormat.h"
#include "applib/LastError.h"
#include "applib/Log.h"
#include "platform/OsError.h"

namespace velmora {

Exception::Exception(QString message) : m_message(std::move(message)), m_utf8(m_message.toUtf8()) {}

EErrorMessageException::EErrorMessageException(const QString& message, const QString& part1,
                                               const QString& part2)
    : Exception(message), m_part1(part1), m_part2(part2)
{
    // Every error message reaches the log once, whether or not anybody shows it.
    LogError(message, part1, part2);
}

EErrorMessageException EErrorMessageException::CreateFmt(const QString& format,
                                                         const QVariantList& args,
                                                         const QString& part1, const QString& part2)
{
    return EErrorMessageException(DfxFormat(format, args), part1, part2);
}

void RaiseErrorMessage(const QString& message, const QString& part1, const QString& part2)
{
    throw EErrorMessageException(message, part1, part2);
}

void RaiseErrorMessageFmt(const QString& format, const QVariantList& args, const QString& part1,
                          const QString& part2)
{
    throw EErrorMessageException::CreateFmt(format, args, part1, part2);
}

void RaiseLastError(const QString& part1, const QString& part2)
{
    if (platform::GetOsLastError() != 0)
        SetLastErrorFromOS(false);
    RaiseLastErrorText(part1, part2);
}

void RaiseLastErrorText(const QString& part1, const QString& part2)
{
    throw EErrorMessageException(GetLastErrorText(), part1, part2);
}

} // namespace velmora
