#pragma once
// Exceptions carry messages meant for the user. EErrorMessageException writes its message
// to the program log when it is created, whether or not it is ever shown.

#include <QByteArray>
#include <QString>
#include <QVariantList>
#include <exception>

namespace velmora {

// The plain exception with a message.
class Exception : public std::exception
{
public:
    explicit Exception(QString message);
    const QString& Message() const { return m_message; }
    const char* what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_message;
    QByteArray m_utf8;
};

class EErrorMessageException : public Exception
{
public:
    // Logs LogError(message, part1, part2); a log failure propagates instead.
    EErrorMessageException(const QString& message, const QString& part1 = {},
                           const QString& part2 = {});
    static EErrorMessageException CreateFmt(const QString& format, const QVariantList& args,
                                            const QString& part1 = {}, const QString& part2 = {});
    const QString& Part1() const { return m_part1; }
    const QString& Part2() const { return m_part2; }

private:
    QString m_part1;
    QString m_part2;
};

// The engine catches it per domain.
class EPDCOffline : public Exception
{
public:
    using Exception::Exception;
};

// Raised by the manual addition of a server; writes nothing to the log by itself.
class EInvalidServerErr : public Exception
{
public:
    using Exception::Exception;
};

[[noreturn]] void RaiseErrorMessage(const QString& message, const QString& part1 = {},
                                    const QString& part2 = {});
[[noreturn]] void RaiseErrorMessageFmt(const QString& format, const QVariantList& args,
                                       const QString& part1 = {}, const QString& part2 = {});
// Stores the platform's current last error first when it is not 0.
[[noreturn]] void RaiseLastError(const QString& part1 = {}, const QString& part2 = {});
[[noreturn]] void RaiseLastErrorText(const QString& part1 = {}, const QString& part2 = {});

} // namespace velmora
