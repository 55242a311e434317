// Ping and the socket helpers: address texts, name resolution, reply statuses and their
// texts, the round trip of 0 ms, and the start-up and shut-down log lines.

#include "applib/LastError.h"
#include "applib/Log.h"
#include "netsec/IcmpDfx.h"
#include "netsec/SocketDfx.h"
#include "platform/OsError.h"
#include "platform/lab/LabNetwork.h"
#include "support/QtPrinters.h"
#include "support/LoggedTest.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::netsec;
using velmora::platform::lab::LabNetwork;

namespace {

class PingTest : public test::LoggedTest
{
  protected:
    void SetUp() override
    {
        LoggedTest::SetUp();
        lab = OpenLab("netsec_ping.json");
        ASSERT_TRUE(lab);
    }

    std::unique_ptr<LabNetwork> lab;
};

TEST(Address, TextsAndParsing)
{
    struct Case
    {
        const char* text;
        uint32_t address;
    };
    const Case cases[] = {
        {"10.0.0.1", 0x0A000001u},
        {"192.168.7.9", 0xC0A80709u},
        {"0.0.0.0", 0},
        {"10.0.0", netsec::kInaddrNone},
        {"10.0.0.256", kInaddrNone},
        {"a.b.c.d", kInaddrNone},
        {"10.0.0.1.5", kInaddrNone},
        {"10.0..1", kInaddrNone},
        {"-1.0.0.1", kInaddrNone},
        {"FAST", kInaddrNone},
        {"", kInaddrNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ParseAddress(QString::fromLatin1(c.text)), c.address);
    }
    QString text = QStringLiteral("old");
    EXPECT_TRUE(AddressText(0xC0A80709u, text));
    EXPECT_EQ(text, QStringLiteral("192.168.7.9"));
    EXPECT_FALSE(AddressText(kInaddrNone, text));
    EXPECT_TRUE(text.isEmpty());
}

TEST_F(PingTest, HostAddressText)
{
    struct Case
    {
        const char* host;
        bool ok;
        const char* address;
    };
    const Case cases[] = {
        {"FAST", true, "10.1.2.3"},
        {"\\\\slow", true, "10.1.2.4"},
        {"DARK", false, ""},
        {"NOWHERE", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        QString address = QStringLiteral("old");
        EXPECT_EQ(HostAddressText(*lab, QString::fromLatin1(c.host), address), c.ok);
        EXPECT_EQ(address, QString::fromLatin1(c.address));
    }
}

TEST_F(PingTest, AnswersAndTheirTexts)
{
    struct Case
    {
        const char* host;
        uint32_t timeoutMs;
        bool answered;
        uint32_t rtt;
        QString error;
    };
    const Case cases[] = {
        {"FAST", 1500, true, 1, {}}, // 0 ms is reported as 1
        {"\\\\SLOW", 1500, true, 250, {}},
        {"10.1.2.4", 1500, true, 250, {}},
        {"SLOW", 100, false, 0, QStringLiteral("Request timed out")},
        {"QUIET", 1500, false, 0, QStringLiteral("Request timed out")},
        {"DOWN", 1500, false, 0, QStringLiteral("Destination host unreachable")},
        {"ODD", 1500, false, 0, QStringLiteral("ICMP error #12345")},
        {"DARK", 1500, false, 0, QStringLiteral("The host name is not known")},
        {"NOWHERE", 1500, false, 0, QStringLiteral("The host name is not known")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        ClearLastErrorForTesting();
        uint32_t rtt = 0;
        EXPECT_EQ(PingRtt(*lab, QString::fromLatin1(c.host), rtt, c.timeoutMs), c.answered);
        EXPECT_EQ(Ping(*lab, QString::fromLatin1(c.host), c.timeoutMs), c.answered);
        if (c.answered) {
            EXPECT_EQ(rtt, c.rtt);
        }
        EXPECT_EQ(GetLastErrorText(), c.error);
    }
    EXPECT_TRUE(LogLines().isEmpty());
}

TEST_F(PingTest, DottedAddressNeedsNoResolution)
{
    EXPECT_TRUE(Ping(*lab, QStringLiteral("10.1.2.3"), 1500));
    EXPECT_EQ(lab->CallCount(QStringLiteral("FAST"), QStringLiteral("ResolveHost")), 0);
    EXPECT_EQ(lab->CallCount(QStringLiteral("FAST"), QStringLiteral("IcmpSendEcho")), 1);
    EXPECT_TRUE(Ping(*lab, QStringLiteral("FAST"), 1500));
    EXPECT_EQ(lab->CallCount(QStringLiteral("FAST"), QStringLiteral("ResolveHost")), 1);
}

TEST(PingStatus, Texts)
{
    struct Case
    {
        uint32_t status;
        const char* text;
    };
    const Case cases[] = {
        {0, "No error"},
        {11001, "Buffer too small"},
        {11010, "Request timed out"},
        {11018, "Bad Destination"},
        {11020, "Spec MTU change"},
        {11050, "General failure"},
        {11255, "Pending"},
        {11022, "ICMP error #11022"},
        {3, "ICMP error #3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        EXPECT_EQ(PingStatusText(c.status), QString::fromLatin1(c.text));
        platform::SetOsLastError(c.status);
        EXPECT_EQ(PingStatusText(), QString::fromLatin1(c.text));
    }
}

TEST_F(PingTest, SocketStartupAndCleanupReports)
{
    struct Case
    {
        uint32_t code;
        const char* reason;
    };
    const Case cases[] = {
        {10014, "The lpWSAData is not a valid pointer."},
        {10036, "A blocking Windows Sockets 1.1 operation is in progress."},
        {10067, "Limit on the number of tasks supported by the Windows Sockets implementation "
                "has been reached."},
        {10091, "Indicates that the underlying network subsystem is not ready for network "
                "communication."},
        {10092, "The version of Windows Sockets support requested is not provided by this "
                "particular Windows Sockets implementation."},
        {10050, ""},
    };
    QStringList expected;
    for (const Case& c : cases) {
        EXPECT_EQ(StartupText(c.code), QString::fromLatin1(c.reason)) << c.code;
        ReportSocketStartup(c.code);
        expected << QStringLiteral("Error,WSAStartup(v1.1) Failed: \"%1\"")
                        .arg(QString::fromLatin1(c.reason));
    }
    ReportSocketStartup(0);
    ReportSocketCleanup(0);
    ReportSocketCleanup(10093);
    expected << QStringLiteral("Error,Unable to perform WSACleanup");
    EXPECT_EQ(LogLines(), expected);
}

} // namespace
