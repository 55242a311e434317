// The last-error store, its logging decision (the force-log switch), the exceptions built
// on it and the formatting of the program's message texts.

#include "applib/DfxFormat.h"
#include "applib/Exceptions.h"
#include "applib/LastError.h"
#include "applib/Log.h"
#include "platform/OsError.h"

#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <atomic>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <ostream>
#include <thread>
#include <vector>

// Readable texts in failure messages.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace velmora {
namespace {

const QStringList kNoSwitch = {QStringLiteral("/opt/app/velmora-cli")};

// Every test starts with an empty store, no force-log switch, no platform error and a
// fresh program log in a private folder.
class LastErrorTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_logPath = m_dir.filePath(QStringLiteral("audit.Log"));
        m_log.SetFileName(m_logPath);
        SetProgramLog(&m_log);
        ClearLastErrorForTesting();
        SetForceLogCommandLine(kNoSwitch);
        ResetForceLogForTesting();
        platform::SetOsLastError(0);
    }
    void TearDown() override
    {
        SetProgramLog(nullptr);
        m_log.Close();
        QFile::remove(TDfxLog::LockFilePath(m_logPath));
        SetForceLogCommandLine({});
        ResetForceLogForTesting();
        ClearLastErrorForTesting();
        platform::SetOsLastError(0);
    }
    QByteArray Logged() const
    {
        QFile file(m_logPath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // Starts the log anew, as the next run of the program would.
    void NewRun()
    {
        m_log.Close();
        QFile::remove(m_logPath);
    }

    QTemporaryDir m_dir;
    QString m_logPath;
    TDfxLog m_log;
};

// --- Store ---------------------------------------------------------------------------------

TEST_F(LastErrorTest, NoErrorCodeOrEmptyTextNeitherStoresNorLogs)
{
    const struct
    {
        const char* name;
        std::function<void()> store;
    } cases[] = {
        {"code 0", [] { SetLastErrorCode(0, true); }},
        {"platform error 0", [] { SetLastErrorFromOS(true); }},
        {"empty text", [] { SetLastErrorText({}, true, kDfxErrorText); }},
        {"text with code 0", [] { SetLastErrorText(QStringLiteral("ignored"), true, 0); }},
        {"format giving an empty text",
         [] { SetLastErrorFmt(QStringLiteral("%s"), {QString()}, true, kDfxErrorText); }},
        {"format with code 0", [] { SetLastErrorFmt(QStringLiteral("x %d"), {1}, true, 0); }},
    };
    SetForceLogCommandLine({QStringLiteral("app"), QStringLiteral("-FORCELOG")});
    SetLastErrorText(QStringLiteral("earlier failure"), false, kDfxErrorText);
    NewRun();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.store();
        EXPECT_EQ(GetLastErrorText(), QStringLiteral("earlier failure"));
        EXPECT_EQ(Logged(), QByteArray());
    }
}

TEST_F(LastErrorTest, LongTextsAreCutTo255Characters)
{
    const QString text300 = QString(100, u'a') + QString(100, u'b') + QString(100, u'c');
    const struct
    {
        const char* name;
        std::function<void()> store;
        QString expected;
    } cases[] = {
        {"300 characters", [&] { SetLastErrorText(text300, false, kDfxErrorText); },
         text300.left(255)},
        {"255 characters", [&] { SetLastErrorText(text300.left(255), false, kDfxErrorText); },
         text300.left(255)},
        {"254 characters", [&] { SetLastErrorText(text300.left(254), false, kDfxErrorText); },
         text300.left(254)},
        {"formatted", [&] { SetLastErrorFmt(QStringLiteral("%s!"), {text300}, false, 5); },
         text300.left(255)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.store();
        EXPECT_EQ(GetLastErrorText(), c.expected);
    }
}

TEST_F(LastErrorTest, CodesStoreTheirTexts)
{
    const struct
    {
        uint32_t code;
        QString text;
    } cases[] = {
        {kDfxNoInteractiveWindowStation, QStringLiteral("No Interactive WindowStation available")},
        {kDfxRegistryValueMissing, QStringLiteral("The Registry Value does not exist")},
        {kDfxMacAddressNotFound, QStringLiteral("MAC Address entry not found ")},
        {kDfxRemoteNotNt, QStringLiteral("Remote Machine must be of Windows NT/W2K/XP type")},
        {kDfxServiceDeleteFailed, QStringLiteral("Unable to Delete Service")},
        // Just outside the own range: system codes, which these are not.
        {kDfxErrorText, QStringLiteral("Unknown error -536739839")},
        {0xE0020010u, QStringLiteral("Unknown error -536739824")},
        {53, SystemErrorText(53)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        SetLastErrorCode(c.code, false);
        EXPECT_EQ(GetLastErrorText(), c.text);
        EXPECT_EQ(ErrorCodeText(c.code), c.text);
    }
}

TEST_F(LastErrorTest, SystemTextsAreOurOwnAndEndWithoutFullStopOrBreak)
{
    const uint32_t known[] = {0,    2,    3,    5,    6,    8,    50,   53,   54,
                              67,   87,   124,  234,  259,  1208, 1219, 1222, 1326,
                              1332, 1722, 2114, 2221, 2250, 6118, 1008, 1232, 1245};
    QSet<QString> seen;
    for (uint32_t code : known) {
        SCOPED_TRACE(code);
        const QString text = SystemErrorText(code);
        EXPECT_FALSE(text.isEmpty());
        EXPECT_FALSE(text.startsWith(QStringLiteral("Unknown error")));
        for (const QChar end : {u' ', u'.', u'\r', u'\n'})
            EXPECT_FALSE(text.endsWith(end));
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), static_cast<qsizetype>(std::size(known)));
    EXPECT_EQ(SystemErrorText(99999), QStringLiteral("Unknown error 99999"));
    EXPECT_EQ(SystemErrorText(0xFFFFFFFFu), QStringLiteral("Unknown error -1"));
}

TEST_F(LastErrorTest, StoreIsOneForTheProcessAndCopiedWhole)
{
    const QString texts[] = {QString(255, u'x'), QString(10, u'y'), QString(200, u'z')};
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t) {
        writers.emplace_back([&, t] {
            while (!stop.load())
                SetLastErrorText(texts[t], false, kDfxErrorText);
        });
    }
    bool allWhole = true;
    for (int i = 0; i < 20000 && allWhole; ++i) {
        const QString read = GetLastErrorText();
        allWhole = read.isEmpty() || read == texts[0] || read == texts[1] || read == texts[2];
    }
    stop.store(true);
    for (auto& writer : writers)
        writer.join();
    EXPECT_TRUE(allWhole);
    // A text stored by another thread is what this thread reads.
    std::thread([] { SetLastErrorText(QStringLiteral("from a worker"), false, 5); }).join();
    EXPECT_EQ(GetLastErrorText(), QStringLiteral("from a worker"));
}

// --- Logging decision ----------------------------------------------------------------------

TEST_F(LastErrorTest, EntriesAreLoggedWhenAskedOrForcedByTheSwitch)
{
    const struct
    {
        const char* name;
        QStringList commandLine;
        bool log;
        bool forced;
    } cases[] = {
        {"not asked, no switch", kNoSwitch, false, false},
        {"asked, no switch", kNoSwitch, true, false},
        {"-FORCELOG", kNoSwitch + QStringList{QStringLiteral("-FORCELOG")}, false, true},
        {"/forcelog", kNoSwitch + QStringList{QStringLiteral("/forcelog")}, false, true},
        {"-ForceLog among others",
         kNoSwitch + QStringList{QStringLiteral("refresh"), QStringLiteral("-ForceLog"),
                                 QStringLiteral("--quiet")},
         false, true},
        {"switch without its sign", kNoSwitch + QStringList{QStringLiteral("FORCELOG")}, false,
         false},
        {"double dash", kNoSwitch + QStringList{QStringLiteral("--FORCELOG")}, false, false},
        {"longer word", kNoSwitch + QStringList{QStringLiteral("-FORCELOGS")}, false, false},
        {"no command line at all", {}, false, false},
    };
    const struct
    {
        const char* name;
        std::function<void(bool log)> store;
        QByteArray line;
    } entries[] = {
        {"own text",
         [](bool log) {
             SetLastErrorText(QStringLiteral("Invalid SID Structure"), log, kDfxErrorText);
         },
         "Error,Error,ERROR -536739839: Invalid SID Structure\r\n"},
        {"system code", [](bool log) { SetLastErrorCode(53, log); },
         "Error,Error,ERROR 53: " + SystemErrorText(53).toUtf8() + "\r\n"},
        {"own code", [](bool log) { SetLastErrorCode(kDfxRegistryValueMissing, log); },
         "Error,Error,ERROR -536739833: The Registry Value does not exist\r\n"},
        {"platform error",
         [](bool log) {
             platform::SetOsLastError(1326);
             SetLastErrorFromOS(log);
         },
         "Error,Error,ERROR 1326: " + SystemErrorText(1326).toUtf8() + "\r\n"},
        {"formatted",
         [](bool log) {
             SetLastErrorFmt(QStringLiteral("Unable to Ping \"%s\" in %dms"),
                             {QStringLiteral("srv1"), 1500}, log, kDfxErrorText);
         },
         "Error,Error,ERROR -536739839: Unable to Ping \"srv1\" in 1500ms\r\n"},
    };
    for (const auto& c : cases) {
        for (const auto& entry : entries) {
            SCOPED_TRACE(std::string(c.name) + " / " + entry.name);
            NewRun();
            SetForceLogCommandLine(c.commandLine);
            ResetForceLogForTesting();
            entry.store(c.log);
            EXPECT_EQ(Logged(), c.log || c.forced ? entry.line : QByteArray());
            EXPECT_EQ(ForceLogEnabled(), c.forced);
        }
    }
}

TEST_F(LastErrorTest, SwitchIsReadAtTheFirstStoreAndThenKept)
{
    SetForceLogCommandLine({QStringLiteral("app"), QStringLiteral("-FORCELOG")});
    SetLastErrorCode(5, false);
    SetForceLogCommandLine(kNoSwitch);
    SetLastErrorCode(6, false);
    const QByteArray bothForced = "Error,Error,ERROR 5: " + SystemErrorText(5).toUtf8() +
                                  "\r\nError,Error,ERROR 6: " + SystemErrorText(6).toUtf8() +
                                  "\r\n";
    EXPECT_EQ(Logged(), bothForced);

    NewRun();
    ResetForceLogForTesting();
    SetLastErrorCode(5, false);
    SetForceLogCommandLine({QStringLiteral("app"), QStringLiteral("/FORCELOG")});
    SetLastErrorCode(6, false);
    EXPECT_EQ(Logged(), QByteArray());
}

TEST_F(LastErrorTest, LogFailureReachesTheCallerAfterTheTextIsStored)
{
    m_log.SetFileName({});
    try {
        SetLastErrorText(QStringLiteral("Invalid SID Structure"), true, kDfxErrorText);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("No log file name specified."));
    }
    EXPECT_EQ(GetLastErrorText(), QStringLiteral("Invalid SID Structure"));
}

// --- Exceptions ----------------------------------------------------------------------------

TEST_F(LastErrorTest, ErrorMessagesAreLoggedBeforeTheyTravel)
{
    const struct
    {
        const char* name;
        std::function<void()> raise;
        QString message;
        QByteArray line;
    } cases[] = {
        {"message", [] { RaiseErrorMessage(QStringLiteral("M")); }, QStringLiteral("M"),
         "Error,M\r\n"},
        {"message with parts",
         [] { RaiseErrorMessage(QStringLiteral("M"), {}, QStringLiteral("p2")); },
         QStringLiteral("M"), "Error,M,p2\r\n"},
        {"formatted",
         [] {
             RaiseErrorMessageFmt(QStringLiteral("Unable to Ping \"%s\" in %dms"),
                                  {QStringLiteral("srv1"), 1500});
         },
         QStringLiteral("Unable to Ping \"srv1\" in 1500ms"),
         "Error,Unable to Ping \"srv1\" in 1500ms\r\n"},
        {"last error with platform error 0 uses the stored text",
         [] {
             SetLastErrorText(QStringLiteral("The share is gone"), false, kDfxErrorText);
             RaiseLastError();
         },
         QStringLiteral("The share is gone"), "Error,The share is gone\r\n"},
        {"last error with nothing stored", [] { RaiseLastError(); }, QString(), "Error,\r\n"},
        {"last error stores the platform error first",
         [] {
             SetLastErrorText(QStringLiteral("older"), false, kDfxErrorText);
             platform::SetOsLastError(5);
             RaiseLastError(QStringLiteral("p1"));
         },
         SystemErrorText(5), "Error," + SystemErrorText(5).toUtf8() + ",p1\r\n"},
        {"last error text ignores the platform error",
         [] {
             SetLastErrorText(QStringLiteral("older"), false, kDfxErrorText);
             platform::SetOsLastError(5);
             RaiseLastErrorText();
         },
         QStringLiteral("older"), "Error,older\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NewRun();
        ClearLastErrorForTesting();
        platform::SetOsLastError(0);
        try {
            c.raise();
            ADD_FAILURE() << "no exception";
        } catch (const EErrorMessageException& e) {
            EXPECT_EQ(Logged(), c.line);
            EXPECT_EQ(e.Message(), c.message);
            EXPECT_STREQ(e.what(), c.message.toUtf8().constData());
        }
        // Only the exception's own line: the platform error is stored, not logged.
        EXPECT_EQ(Logged(), c.line);
    }
}

TEST_F(LastErrorTest, OnlyErrorMessageExceptionsWriteToTheLog)
{
    EErrorMessageException logged(QStringLiteral("shown"), QStringLiteral("a"),
                                  QStringLiteral("b"));
    EXPECT_EQ(logged.Part1(), QStringLiteral("a"));
    EXPECT_EQ(logged.Part2(), QStringLiteral("b"));
    // A copy on its way to a handler is the same exception, not a second line.
    const EErrorMessageException copy = logged;
    Exception plain(QStringLiteral("plain"));
    EPDCOffline offline(QStringLiteral("offline"));
    EInvalidServerErr invalid(QStringLiteral("invalid"));
    EXPECT_EQ(Logged(), QByteArray("Error,shown,a,b\r\n"));
    EXPECT_EQ(copy.Message(), QStringLiteral("shown"));
}

TEST_F(LastErrorTest, ErrorMessageThatCannotBeLoggedRaisesTheLogFailure)
{
    m_log.SetFileName({});
    try {
        RaiseErrorMessage(QStringLiteral("M"));
        ADD_FAILURE() << "no exception";
    } catch (const EErrorMessageException&) {
        ADD_FAILURE() << "the message was raised without its line";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("No log file name specified."));
    }
}

// --- Formatting ----------------------------------------------------------------------------

TEST(DfxFormatTest, DirectivesTakeTheirArgumentsInTurn)
{
    const struct
    {
        const char* format;
        QVariantList args;
        QString expected;
    } cases[] = {
        {"Unable to Ping \"%s\" in %dms",
         {QStringLiteral("srv1"), 1500},
         QStringLiteral("Unable to Ping \"srv1\" in 1500ms")},
        {"ERROR %d: %s",
         {QVariant::fromValue(0xE0020001u), QStringLiteral("x")},
         QStringLiteral("ERROR -536739839: x")},
        {"%d", {-7}, QStringLiteral("-7")},
        {"%d", {QVariant::fromValue(Q_INT64_C(5000000000))}, QStringLiteral("5000000000")},
        {"%u", {QVariant::fromValue(0xE0020001u)}, QStringLiteral("3758227457")},
        {"%u", {-1}, QStringLiteral("4294967295")},
        {"%x/%X", {255, QVariant::fromValue(0xE0020001u)}, QStringLiteral("ff/E0020001")},
        {"%x", {-1}, QStringLiteral("ffffffff")},
        {"%s", {42}, QStringLiteral("42")},
        {"100%%", {}, QStringLiteral("100%")},
        {"%s%%%s", {QStringLiteral("a"), QStringLiteral("b")}, QStringLiteral("a%b")},
        {"%s and %s", {QStringLiteral("one")}, QStringLiteral("one and %s")},
        {"%s", {QStringLiteral("one"), QStringLiteral("two")}, QStringLiteral("one")},
        {"%DESKTOP%\\%s", {QStringLiteral("x")}, QStringLiteral("%DESKTOP%\\x")},
        {"50%", {1}, QStringLiteral("50%")},
        {"\u00c5se %s", {QStringLiteral("J\u00f6rg")}, QStringLiteral("\u00c5se J\u00f6rg")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        EXPECT_EQ(DfxFormat(QString::fromUtf8(c.format), c.args), c.expected);
    }
}

TEST(DfxFormatTest, FmtKeepsTheTypesOfItsArguments)
{
    const uint32_t code = kDfxErrorText;
    const char* server = "srv1";
    EXPECT_EQ(Fmt("ERROR %d: %s", code, "text"), QStringLiteral("ERROR -536739839: text"));
    EXPECT_EQ(Fmt("%s/%s/%u", server, QStringLiteral("share"), code),
              QStringLiteral("srv1/share/3758227457"));
}

} // namespace
} // namespace velmora
