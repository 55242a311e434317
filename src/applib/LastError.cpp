#include "applib/LastError.h"

#include "applib/DfxFormat.h"
#include "applib/Log.h"
#include "platform/OsError.h"

#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <array>

namespace velmora {

namespace {

constexpr qsizetype kMaxLastErrorLength = 255;

struct Store
{
    QMutex mutex;
    QString text;
    QStringList commandLine;
    bool forceLogKnown = false;
    bool forceLog = false;
};

Store& TheStore()
{
    static Store store;
    return store;
}

// Texts of the library's own codes, 0xE0020002 onwards. The trailing blank of the MAC
// address text is part of the text.
constexpr std::array<const char*, 14> kOwnCodeTexts = {
    "No Interactive WindowStation available",
    "No Shell exists in registry",
    "The Shell is not running on this system",
    "The Filename contains invalid characters",
    "The Registry Key cannot be read or does not exist",
    "The Registry Value does not exist",
    "The File does not contain a version resource",
    "MAC Address entry not found ",
    "Unable to create connect to remote machine",
    "Remote Machine must be of Windows NT/W2K/XP type",
    "Unable to Install the selected Service",
    "Unable to Expand a System Variable",
    "Invalid Variable format, missing token",
    "Unable to Delete Service",
};

// Our wording for the system codes that the network, security, registry and file layers
// report. Kept without a closing full stop, as the texts are embedded in longer lines.
const QHash<uint32_t, QString>& SystemTexts()
{
    static const QHash<uint32_t, QString> texts = {
        {0, QStringLiteral("No error occurred")},
        {1, QStringLiteral("The function is not supported here")},
        {2, QStringLiteral("The file could not be found")},
        {3, QStringLiteral("The path could not be found")},
        {4, QStringLiteral("Too many files are open")},
        {5, QStringLiteral("Access was refused")},
        {6, QStringLiteral("The handle is not valid")},
        {8, QStringLiteral("There is not enough memory for this operation")},
        {31, QStringLiteral("The operation failed in the system")},
        {50, QStringLiteral("This request is not supported")},
        {53, QStringLiteral("No network path to the machine could be found")},
        {54, QStringLiteral("The network is too busy to answer")},
        {67, QStringLiteral("The share name does not exist on the network")},
        {87, QStringLiteral("A parameter was not valid")},
        {112, QStringLiteral("The disk has no space left")},
        {122, QStringLiteral("The buffer given to the call is too small")},
        {124, QStringLiteral("The information level is not supported")},
        {132, QStringLiteral("The position cannot be set on this device or file")},
        {206, QStringLiteral("The file name or path is too long")},
        {223, QStringLiteral("The file has grown too large")},
        {234, QStringLiteral("More entries are waiting to be read")},
        {258, QStringLiteral("The wait ran out of time")},
        {259, QStringLiteral("No further entries are available")},
        {1008, QStringLiteral("A token that does not exist was referred to")},
        {1016, QStringLiteral("Reading or writing the registry failed")},
        {1117, QStringLiteral("The device reported an input or output failure")},
        {1203, QStringLiteral("The network path is wrong, or no network is reachable")},
        {1208, QStringLiteral("The network provider reported an extended error")},
        {1219, QStringLiteral("The server is already connected under other credentials")},
        {1222, QStringLiteral("No network is present, or it has not been started")},
        {1232, QStringLiteral("The remote host cannot be reached")},
        {1245, QStringLiteral("Nobody is logged on, so the operation cannot be done")},
        {1326, QStringLiteral("The user name or the password was not accepted")},
        {1332, QStringLiteral("An account name could not be matched to a security identifier")},
        {1722, QStringLiteral("The remote procedure call service cannot be reached")},
        {2114, QStringLiteral("The server service is not running")},
        {2221, QStringLiteral("No such user account exists")},
        {2250, QStringLiteral("No such network connection exists")},
        {6118, QStringLiteral("The server list of this workgroup cannot be obtained now")},
    };
    return texts;
}

QString TrimmedSystemText(QString text)
{
    qsizetype end = text.size();
    while (end > 0) {
        const QChar c = text.at(end - 1);
        if (c != u' ' && c != u'\r' && c != u'\n' && c != u'.' && c != u'\t')
            break;
        --end;
    }
    text.truncate(end);
    return text;
}

void StoreText(const QString& text)
{
    Store& store = TheStore();
    const QString cut = text.left(kMaxLastErrorLength);
    QMutexLocker locker(&store.mutex);
    store.text = cut;
}

void LogStored(uint32_t code, const QString& text, bool log)
{
    if (log || ForceLogEnabled())
        LogLine(LogLevel::Error, QStringLiteral("Error"), {}, {}, Fmt("ERROR %d: %s", code, text));
}

} // namespace

QString ErrorCodeText(uint32_t code)
{
    if (code >= kDfxNoInteractiveWindowStation && code <= kDfxServiceDeleteFailed)
        return QString::fromLatin1(kOwnCodeTexts[code - kDfxNoInteractiveWindowStation]);
    return SystemErrorText(code);
}

QString SystemErrorText(uint32_t code)
{
    const auto& texts = SystemTexts();
    const auto it = texts.constFind(code);
    if (it != texts.constEnd())
        return TrimmedSystemText(*it);
    return Fmt("Unknown error %d", code);
}

void SetForceLogCommandLine(const QStringList& arguments)
{
    Store& store = TheStore();
    QMutexLocker locker(&store.mutex);
    store.commandLine = arguments;
}

bool ForceLogEnabled()
{
    Store& store = TheStore();
    QMutexLocker locker(&store.mutex);
    if (!store.forceLogKnown) {
        store.forceLog = false;
        for (const QString& argument : std::as_const(store.commandLine)) {
            if (argument.compare(u"-FORCELOG", Qt::CaseInsensitive) == 0 ||
                argument.compare(u"/FORCELOG", Qt::CaseInsensitive) == 0) {
                store.forceLog = true;
                break;
            }
        }
        store.forceLogKnown = true;
    }
    return store.forceLog;
}

void ResetForceLogForTesting()
{
    Store& store = TheStore();
    QMutexLocker locker(&store.mutex);
    store.forceLogKnown = false;
    store.forceLog = false;
}

void SetLastErrorCode(uint32_t code, bool log)
{
    if (code == 0)
        return;
    const QString text = ErrorCodeText(code);
    StoreText(text);
    LogStored(code, text, log);
}

void SetLastErrorFromOS(bool log)
{
    SetLastErrorCode(platform::GetOsLastError(), log);
}

void SetLastErrorText(const QString& text, bool log, uint32_t code)
{
    if (code == 0 || text.isEmpty())
        return;
    StoreText(text);
    LogStored(code, text, log);
}

void SetLastErrorFmt(const QString& format, const QVariantList& args, bool log, uint32_t code)
{
    SetLastErrorText(DfxFormat(format, args), log, code);
}

QString GetLastErrorText()
{
    Store& store = TheStore();
    QMutexLocker locker(&store.mutex);
    return store.text;
}

void StoreLastErrorText(const QString& text)
{
    StoreText(text);
}

void ClearLastErrorForTesting()
{
    Store& store = TheStore();
    QMutexLocker locker(&store.mutex);
    store.text.clear();
}

} // namespace velmora
