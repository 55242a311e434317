// The network management binding: which entry points it resolves, what a missing library or
// entry does, the texts of the status codes, and the two account lists.

#include "applib/Exceptions.h"
#include "applib/LastError.h"
#include "applib/Log.h"
#include "netsec/NetApiDfx.h"
#include "platform/lab/LabFile.h"
#include "platform/lab/LabNetwork.h"
#include "support/QtPrinters.h"
#include "support/LoggedTest.h"

#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>

using namespace velmora;
using namespace velmora::netsec;
using namespace velmora::platform;
using velmora::platform::lab::LabFile;
using velmora::platform::lab::LabModel;
using velmora::platform::lab::LabNetwork;

namespace {

// The lab network with its library seen through a filter: a test can record the names
// looked up, hide entries or put its own in their place, or make the library missing.
class FilteredNetwork : public LabNetwork
{
  public:
    using LabNetwork::LabNetwork;
    using Filter = std::function<const void*(const QString& name, const void* labEntry)>;

    bool libraryMissing = false;
    Filter filter;
    QStringList resolved;

    std::shared_ptr<const NetApiLibrary> LoadNetApiLibrary(const QString& name) override
    {
        if (libraryMissing)
            return nullptr;
        auto inner = LabNetwork::LoadNetApiLibrary(name);
        if (!inner)
            return nullptr;
        return std::make_shared<Library>(inner, this);
    }

  private:
    class Library : public NetApiLibrary
    {
      public:
        Library(std::shared_ptr<const NetApiLibrary> inner, FilteredNetwork* owner)
            : m_inner(std::move(inner)), m_owner(owner)
        {
        }
        const void* Resolve(const QString& entryName) const override
        {
            m_owner->resolved << entryName;
            const void* entry = m_inner->Resolve(entryName);
            return m_owner->filter ? m_owner->filter(entryName, entry) : entry;
        }

      private:
        std::shared_ptr<const NetApiLibrary> m_inner;
        FilteredNetwork* m_owner;
    };
};

LabModel ReadModel(const QByteArray& json = {})
{
    QString error;
    std::optional<LabModel> model =
        json.isEmpty()
            ? LabFile::Read(QStringLiteral(VELMORA_TEST_DATA_DIR "/netsec_accounts.json"), error)
            : LabFile::Parse(json, QStringLiteral("generated.json"), error);
    EXPECT_TRUE(model) << error.toStdString();
    return model ? std::move(*model) : LabModel{};
}

class NetApiTest : public test::LoggedTest
{
  protected:

    FilteredNetwork lab{ReadModel()};
};

const QString kNotLoaded =
    QStringLiteral("Cannot load library \"netapi32.dll\" or linked libraries");

TEST_F(NetApiTest, ResolvesTheWholeTableOnceInOrder)
{
    const NetApiDFX api(lab);
    EXPECT_TRUE(api.Loaded());
    EXPECT_EQ(api.BoundLibraryName(), QStringLiteral("netapi32.dll"));
    EXPECT_EQ(lab.resolved.size(), 53);
    EXPECT_EQ(QSet<QString>(lab.resolved.begin(), lab.resolved.end()).size(), 53);
    EXPECT_EQ(lab.resolved.first(), QStringLiteral("NetEnumerateTrustedDomains"));
    EXPECT_EQ(lab.resolved.last(), QStringLiteral("NetWkstaTransportEnum"));
    for (const char* name : {"NetApiBufferFree", "NetUserEnum", "NetUserGetGroups",
                             "NetServerGetInfo", "NetShareEnum"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(lab.resolved.contains(QString::fromLatin1(name)));
        EXPECT_TRUE(api.HasEntryPoint(QString::fromLatin1(name)));
    }
    EXPECT_FALSE(api.HasEntryPoint(QStringLiteral("NetScheduleJobAdd")));
}

TEST_F(NetApiTest, MissingLibraryRaisesAtTheFirstCall)
{
    lab.libraryMissing = true;
    const NetApiDFX api(lab); // the program starts
    EXPECT_FALSE(api.Loaded());
    const std::function<void()> calls[] = {
        [&] {
            void* b = nullptr;
            api.NetServerGetInfo(QStringLiteral("DC1"), 101, &b);
        },
        [&] { api.NetApiBufferFree(nullptr); },
        [&] {
            void* b = nullptr;
            uint32_t read = 0, total = 0, resume = 0;
            api.NetShareEnum(QStringLiteral("DC1"), 502, &b, kMaxPreferredLength, read, total,
                             &resume);
        },
        [&] {
            QStringList names;
            api.GetUserNames(QStringLiteral("DC1"), false, names);
        },
        [&] {
            QStringList names;
            api.GetUserGroupNames(QStringLiteral("DC1"), QStringLiteral("alice"), names);
        },
    };
    for (size_t i = 0; i < std::size(calls); ++i) {
        SCOPED_TRACE(i);
        try {
            calls[i]();
            ADD_FAILURE() << "no exception";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), kNotLoaded);
        }
    }
}

TEST_F(NetApiTest, MissingEntryRaisesOnlyForThatEntry)
{
    lab.filter = [](const QString& name, const void* entry) -> const void* {
        return name == QStringLiteral("NetUserGetGroups") ? nullptr : entry;
    };
    const NetApiDFX api(lab);
    QStringList names;
    api.GetUserNames(QStringLiteral("DC1"), false, names);
    EXPECT_FALSE(names.isEmpty());
    try {
        api.GetUserGroupNames(QStringLiteral("DC1"), QStringLiteral("alice"), names);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), kNotLoaded);
    }
    EXPECT_EQ(lab.OutstandingBuffers(), 0);
}

TEST(NetErrorText, SystemTextsBelowTheNetworkRangeOursFromIt)
{
    struct Case
    {
        uint32_t status;
        QString text;
    };
    const Case cases[] = {
        {5, SystemErrorText(5)},
        {53, SystemErrorText(53)},
        {2099, SystemErrorText(2099)},
        {2221, QStringLiteral("No such user account exists")},
        {2999, QStringLiteral("Unknown network management error 2999")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        EXPECT_EQ(NetApiDFX::NetErrorText(c.status), c.text);
    }
    // The codes a scan meets all have a text of their own, kept without a full stop as the
    // texts are embedded in longer lines.
    for (uint32_t status : {2102u, 2103u, 2106u, 2114u, 2123u, 2138u, 2141u, 2220u, 2221u, 2222u,
                            2250u, 2310u, 2320u, 2351u, 2453u}) {
        SCOPED_TRACE(status);
        const QString text = NetApiDFX::NetErrorText(status);
        EXPECT_FALSE(text.startsWith(QStringLiteral("Unknown"))) << text.toStdString();
        EXPECT_FALSE(text.endsWith(QLatin1Char('.'))) << text.toStdString();
    }
}

TEST(ServerUNC, MakeAndStrip)
{
    for (const char* name : {"SRV", "\\SRV", "\\\\SRV"})
        EXPECT_EQ(MakeServerUNC(QString::fromLatin1(name)), QStringLiteral("\\\\SRV")) << name;
    EXPECT_EQ(MakeServerUNC(QString()), QString());
    EXPECT_EQ(StripServerUNC(QStringLiteral("\\\\SRV")), QStringLiteral("SRV"));
    EXPECT_EQ(StripServerUNC(QStringLiteral("\\SRV")), QStringLiteral("\\SRV"));
}

TEST_F(NetApiTest, UserNamesByFilterAppendToTheList)
{
    struct Case
    {
        bool includeTrust;
        uint32_t filter;
        QStringList names;
    };
    const Case cases[] = {
        {false,
         kFilterNormalAccount,
         {QStringLiteral("before"), QStringLiteral("alice"), QStringLiteral("bob"),
          QStringLiteral("carol")}},
        {true,
         kFilterNormalAccount | kFilterInterdomainTrustAccount,
         {QStringLiteral("before"), QStringLiteral("alice"), QStringLiteral("bob"),
          QStringLiteral("carol"), QStringLiteral("PARTNER$")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.includeTrust);
        std::vector<uint32_t> filters;
        lab.filter = [&filters](const QString& name, const void* entry) -> const void* {
            if (name != QStringLiteral("NetUserEnum"))
                return entry;
            // Records the filter and passes the call on.
            static netapi::NetUserEnumFn spy;
            const auto* inner = static_cast<const netapi::NetUserEnumFn*>(entry);
            spy = [&filters, inner](const QString& server, uint32_t level, uint32_t filter,
                                    void** buffer, uint32_t length, uint32_t& read, uint32_t& total,
                                    uint32_t* resume) {
                filters.push_back(filter);
                return (*inner)(server, level, filter, buffer, length, read, total, resume);
            };
            return &spy;
        };
        const NetApiDFX api(lab);
        QStringList names{QStringLiteral("before")};
        api.GetUserNames(QStringLiteral("DC1"), c.includeTrust, names);
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(filters, std::vector<uint32_t>{c.filter});
    }
    EXPECT_TRUE(LogLines().isEmpty());
    EXPECT_EQ(lab.OutstandingBuffers(), 0);
}

TEST_F(NetApiTest, UserNamesInPagesUntilTheEnd)
{
    QByteArray accounts;
    QStringList expected;
    for (int i = 0; i < 4000; ++i) {
        const QByteArray name = "user" + QByteArray::number(i).rightJustified(5, '0');
        expected << QString::fromLatin1(name);
        accounts +=
            (i ? "," : "") + ("{\"name\":\"" + name + "\",\"rid\":" + QByteArray::number(2000 + i) +
                              ",\"kind\":\"user\"}");
    }
    LabNetwork big(ReadModel(
        "{\"format\":\"velmora-lab/1\",\"domains\":[{\"name\":\"BIG\",\"sid\":\"S-1-5-21-5-5-5\","
        "\"servers\":[\"BIGDC\"],\"accounts\":[" +
        accounts +
        "]}],\"machines\":[{\"name\":"
        "\"BIGDC\",\"domain\":\"BIG\",\"type\":\"0x0000102B\"}]}"));
    const NetApiDFX api(big);
    QStringList names;
    api.GetUserNames(QStringLiteral("BIGDC"), false, names);
    // Long lists: the size and the first difference say more than the whole lists.
    ASSERT_EQ(names.size(), expected.size());
    for (qsizetype i = 0; i < expected.size(); ++i)
        ASSERT_EQ(names[i], expected[i]) << "at " << i;
    EXPECT_GT(big.CallCount(QStringLiteral("BIGDC"), QStringLiteral("NetUserEnum")), 1);
    EXPECT_EQ(big.OutstandingBuffers(), 0);
}

TEST_F(NetApiTest, UserNamesStopAtAFailureWithALogLine)
{
    const NetApiDFX api(lab);
    QStringList names;
    api.GetUserNames(QStringLiteral("BDC"), false, names);
    EXPECT_EQ(names, (QStringList{QStringLiteral("u1"), QStringLiteral("u2")}));
    EXPECT_EQ(LogLines(), QStringList{QStringLiteral("Error,") + NetApiDFX::NetErrorText(2141)});
    EXPECT_EQ(lab.OutstandingBuffers(), 0);
}

TEST_F(NetApiTest, UserNamesEndOfListAtOnceChangesNothing)
{
    lab.filter = [](const QString& name, const void* entry) -> const void* {
        if (name != QStringLiteral("NetUserEnum"))
            return entry;
        static const netapi::NetUserEnumFn atEnd = [](const QString&, uint32_t, uint32_t,
                                                      void** buffer, uint32_t, uint32_t& read,
                                                      uint32_t& total, uint32_t*) {
            *buffer = nullptr;
            read = total = 0;
            return uint32_t(kErrorHandleEof);
        };
        return &atEnd;
    };
    const NetApiDFX api(lab);
    QStringList names{QStringLiteral("kept")};
    api.GetUserNames(QStringLiteral("DC1"), false, names);
    EXPECT_EQ(names, QStringList{QStringLiteral("kept")});
    EXPECT_TRUE(LogLines().isEmpty());
}

TEST_F(NetApiTest, GroupNamesOfAUser)
{
    const NetApiDFX api(lab);
    QStringList groups{QStringLiteral("before")};
    ASSERT_TRUE(api.GetUserGroupNames(QStringLiteral("DC1"), QStringLiteral("alice"), groups));
    EXPECT_EQ(groups, (QStringList{QStringLiteral("before"), QStringLiteral("Domain Users"),
                                   QStringLiteral("Staff")}));

    // A failure keeps what the list held, stores the text and writes no log line.
    ASSERT_FALSE(api.GetUserGroupNames(QStringLiteral("DC1"), QStringLiteral("nobody"), groups));
    EXPECT_EQ(groups.size(), 3);
    EXPECT_EQ(GetLastErrorText(), NetApiDFX::NetErrorText(kNerrUserNotFound));
    EXPECT_TRUE(LogLines().isEmpty());
    EXPECT_EQ(lab.OutstandingBuffers(), 0);
}

TEST_F(NetApiTest, ManyGroupsComeOnceAndWhole)
{
    // More groups than a limited answer holds: asking again would repeat the first ones.
    QByteArray accounts = "{\"name\":\"member\",\"rid\":1000,\"kind\":\"user\",\"groups\":[";
    QByteArray groups;
    QStringList expected;
    for (int i = 0; i < 3000; ++i) {
        const QByteArray name = "Group" + QByteArray::number(i).rightJustified(5, '0');
        expected << QString::fromLatin1(name);
        accounts += (i ? ",\"" : "\"") + name + "\"";
        groups += ",{\"name\":\"" + name + "\",\"rid\":" + QByteArray::number(5000 + i) +
                  ",\"kind\":\"group\"}";
    }
    accounts += "]}" + groups;
    LabNetwork big(ReadModel(
        "{\"format\":\"velmora-lab/1\",\"domains\":[{\"name\":\"BIG\",\"sid\":\"S-1-5-21-5-5-5\","
        "\"servers\":[\"BIGDC\"],\"accounts\":[" +
        accounts +
        "]}],\"machines\":[{\"name\":"
        "\"BIGDC\",\"domain\":\"BIG\",\"type\":\"0x0000102B\"}]}"));
    const NetApiDFX api(big);
    QStringList names;
    ASSERT_TRUE(api.GetUserGroupNames(QStringLiteral("BIGDC"), QStringLiteral("member"), names));
    // Long lists: the size and the first difference say more than the whole lists.
    ASSERT_EQ(names.size(), expected.size());
    for (qsizetype i = 0; i < expected.size(); ++i)
        ASSERT_EQ(names[i], expected[i]) << "at " << i;
    EXPECT_EQ(big.CallCount(QStringLiteral("BIGDC"), QStringLiteral("NetUserGetGroups")), 1);
    EXPECT_EQ(big.OutstandingBuffers(), 0);
}

} // namespace
