// The credential tables' rules on a real audit database: stored passwords, display texts,
// upper-cased managed domains, the delete guards, defaults and stamps, the link statements.

#include "applib/CryptDfx.h"
#include "applib/Exceptions.h"
#include "engine/Credentials.h"
#include "store/AuditDatabase.h"
#include "support/AuditFixture.h"
#include "support/PgTestServer.h"

#include <QDateTime>

namespace velmora::test {
namespace {

using engine::ClearPassword;

const QByteArray kNoNetwork = R"({ "format": "velmora-lab/1", "machines": [] })";
const QString kDescription = QStringLiteral("Description");
const QString kUserPassword = QStringLiteral("UserPassword");
const QString kDomainName = QStringLiteral("DomainName");
const QString kStamp = QStringLiteral("LastUserModified");

// Every rule on each backend: the embedded database and a PostgreSQL server (skipped
// without one, see support/PgTestServer.h).
class CredentialsTest : public AuditFixture, public ::testing::WithParamInterface<const char*>
{
protected:
    void SetUp() override
    {
        AuditFixture::SetUp();
        if (HasFatalFailure())
            return;
        if (QString::fromLatin1(GetParam()) == QLatin1String("PostgreSQL")) {
            VELMORA_CREATE_PG_DATABASE(pg);
            QString report, error;
            ASSERT_TRUE(store::InitServerDatabase(store::ProgramFolder(home), pg.Params(), report, error))
                << error.toStdString();
        }
        StartLab(kNoNetwork);
        ASSERT_EQ(connection->Connection().Params().provider, QString::fromLatin1(GetParam()));
    }

    data::TableDataset& Credentials() { return dataDM->tbAlternateCredentials(); }
    data::TableDataset& Domains() { return dataDM->tbMngdDomains(); }

    // A new credential row; the password given as typed (set-text) unless `stored` is set.
    int AddCredential(const QString& description, const QString& typed, const QString* stored = nullptr)
    {
        data::TableDataset& t = Credentials();
        t.Append();
        t.FieldByName(kDescription).SetAsString(description);
        t.FieldByName(QStringLiteral("UserName")).SetAsString(QStringLiteral("CORP\\") + description);
        if (stored)
            t.FieldByName(kUserPassword).SetAsString(*stored);
        else
            t.FieldByName(kUserPassword).SetText(typed);
        t.Post();
        return t.FieldByName(QStringLiteral("ID")).AsInteger();
    }
    int AddDomain(const QString& typed)
    {
        Domains().Append();
        Domains().FieldByName(kDomainName).SetText(typed);
        Domains().Post();
        return Domains().FieldByName(QStringLiteral("ID")).AsInteger();
    }
    // The password column as the database holds it.
    QString RawPassword(int id)
    {
        data::Statement q(connection->Connection());
        q.SetSQL(QStringLiteral("SELECT UserPassword FROM AlternateCredentials WHERE ID = :ID"));
        q.SetParam(QStringLiteral("ID"), id);
        q.Open();
        return q.Eof() ? QStringLiteral("<no row>") : q.FieldAt(0).toString();
    }

    PgTestDatabase pg; // outlives the connection
};

INSTANTIATE_TEST_SUITE_P(Backends, CredentialsTest, ::testing::Values("SQLite", "PostgreSQL"),
                         [](const auto& info) { return std::string(info.param); });

TEST_P(CredentialsTest, TypedPasswordsReadBackByteForByteAndUnscrambleToWhatWasTyped)
{
    // A typed character equal to the keystream byte at its place scrambles to 0x00.
    const QByteArray keystream = ScrambleText(QByteArray(38, '\0'));
    int zeroAt = -1;
    for (int i = 0; i < keystream.size() && zeroAt < 0; ++i)
        if (keystream[i] >= 0x20 && keystream[i] < 0x7F)
            zeroAt = i;
    ASSERT_GE(zeroAt, 0);
    const QByteArray withZero = QByteArray(zeroAt, 'p') + keystream[zeroAt] + QByteArray("Grüße-€");
    const QByteArray scrambled = ScrambleText(withZero);
    ASSERT_EQ(scrambled[zeroAt], '\0');
    ASSERT_TRUE(std::any_of(scrambled.begin(), scrambled.end(), [](char c) { return quint8(c) > 0x7F; }));

    const QString e = QStringLiteral("é");
    struct Case
    {
        QString typed;
        QString clear; // the password that connecting uses
        int id = 0;
    } cases[] = {
        {QString::fromUtf8(withZero), QString::fromUtf8(withZero)},
        {QStringLiteral("0123456789").repeated(10), QStringLiteral("0123456789").repeated(8)},
        {e.repeated(50), e.repeated(40)},
        {QStringLiteral("\x02x"), QStringLiteral("\x02x")}, // typed, so scrambled like any other
    };
    for (Case& c : cases)
        c.id = AddCredential(QStringLiteral("c%1").arg(&c - cases), c.typed);
    connection->Reconnect();

    const int domain = AddDomain(QStringLiteral("CORP"));
    int priority = 0;
    for (const Case& c : cases) {
        ASSERT_TRUE(Credentials().Locate(QStringLiteral("ID"), c.id));
        const QString stored = Credentials().FieldByName(kUserPassword).AsString();
        EXPECT_EQ(stored, RawPassword(c.id));
        EXPECT_EQ(DecodeScrambled(stored), ScrambleText(c.clear.toUtf8()));
        EXPECT_LE(stored.size(), kMaxPasswordBytes);
        EXPECT_EQ(ClearPassword(stored), c.clear);
        EXPECT_EQ(Credentials().FieldByName(kUserPassword).DisplayText(), QStringLiteral("**********"));
        engine::InsertCredentialLink(*dataDM, domain, c.id, priority++);
    }
    // What a refresh connects with.
    dataDM->LoadDomainCredentials(QStringLiteral("CORP"));
    ASSERT_EQ(dataDM->RefreshCredentials.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(dataDM->RefreshCredentials[qsizetype(i)].password, cases[i].clear);
}

TEST_P(CredentialsTest, MarkersAreStoredAsTheyAreAndShownByName)
{
    const QString associated(QChar(0x02)), blank(QChar(0x03)), twoChars = QStringLiteral("\x02\x03");
    struct Case
    {
        QString typed;
        const QString* stored; // written directly, as the marker commands do
        QString storedAfter;   // empty: anything but a marker
        QString display;
        int id = 0;
    } cases[] = {
        {{}, &associated, associated, QStringLiteral("<Associated Pwd>")},
        {{}, &blank, blank, QStringLiteral("<Blank Password>")},
        {{}, &twoChars, twoChars, QStringLiteral("**********")},
        {QString(), nullptr, blank, QStringLiteral("<Blank Password>")}, // nothing typed
        {QStringLiteral("secret"), nullptr, {}, QStringLiteral("**********")},
    };
    Credentials().Append();
    EXPECT_EQ(Credentials().FieldByName(kUserPassword).DisplayText(), QString());
    Credentials().Cancel();

    for (Case& c : cases)
        c.id = AddCredential(QStringLiteral("m%1").arg(&c - cases), c.typed, c.stored);
    connection->Reconnect();
    for (const Case& c : cases) {
        ASSERT_TRUE(Credentials().Locate(QStringLiteral("ID"), c.id));
        const data::Field& f = Credentials().FieldByName(kUserPassword);
        if (!c.storedAfter.isEmpty()) {
            EXPECT_EQ(f.AsString(), c.storedAfter) << c.display.toStdString();
        } else {
            EXPECT_NE(f.AsString(), c.typed);
            EXPECT_NE(f.AsString(), blank);
        }
        EXPECT_EQ(f.DisplayText(), c.display);
        EXPECT_EQ(f.Text(), c.display) << "the edit text is the display text";
    }
    EXPECT_EQ(ClearPassword(associated), associated);
    EXPECT_EQ(ClearPassword(blank), blank);
    EXPECT_NE(ClearPassword(twoChars), twoChars) << "two characters are a scrambled password";
}

TEST_P(CredentialsTest, ManagedDomainsAreStoredUpperCaseAndListedInNameOrder)
{
    EXPECT_TRUE(engine::ListManagedDomains(*dataDM).isEmpty());
    const int zeta = AddDomain(QStringLiteral("zeta"));
    const int munich = AddDomain(QStringLiteral("münchen"));
    const int corp = AddDomain(QStringLiteral("Corp.Example"));
    // A name assigned without the set-text step is upper-cased when posted.
    Domains().Append();
    Domains().FieldByName(kDomainName).SetAsString(QStringLiteral("alpha"));
    Domains().Post();
    const int alpha = Domains().FieldByName(QStringLiteral("ID")).AsInteger();
    connection->Reconnect();

    QStringList names;
    QList<int> ids;
    for (const engine::ManagedDomainEntry& d : engine::ListManagedDomains(*dataDM)) {
        names << d.domainName;
        ids << d.id;
    }
    EXPECT_EQ(names, QStringList({QStringLiteral("ALPHA"), QStringLiteral("CORP.EXAMPLE"),
                                  QStringLiteral("MÜNCHEN"), QStringLiteral("ZETA")}));
    EXPECT_EQ(ids, QList<int>({alpha, corp, munich, zeta}));
    EXPECT_TRUE(Domains().Active()) << "an open table stays open";
}

TEST_P(CredentialsTest, LinkedRowsAreNotDeletedUntilTheLinkGoes)
{
    const int domain = AddDomain(QStringLiteral("corp"));
    const int credential = AddCredential(QStringLiteral("Backup operator"), QStringLiteral("pw"));
    engine::InsertCredentialLink(*dataDM, domain, credential, 0);

    ASSERT_TRUE(Domains().Locate(QStringLiteral("ID"), domain));
    try {
        Domains().Delete();
        FAIL() << "a linked managed domain was deleted";
    } catch (const EErrorMessageException& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Unable to delete this record, other tables link to this record"));
    }
    EXPECT_EQ(Domains().FieldByName(QStringLiteral("ID")).AsInteger(), domain) << "the row stays current";

    ASSERT_TRUE(Credentials().Locate(QStringLiteral("ID"), credential));
    try {
        Credentials().Delete();
        FAIL() << "a linked credential was deleted";
    } catch (const Exception& e) {
        EXPECT_EQ(dynamic_cast<const EErrorMessageException*>(&e), nullptr) << "a plain exception";
        EXPECT_EQ(e.Message(), QStringLiteral("Unable to delete \"Backup operator\" Alternate Credential, "
                                              "Manged Domains are stilled linking to this data."));
    }
    EXPECT_EQ(Credentials().FieldByName(QStringLiteral("ID")).AsInteger(), credential);
    EXPECT_FALSE(dataDM->Query().Active());
    EXPECT_EQ(CountRows(QStringLiteral("MngdDomains")), 1);
    EXPECT_EQ(CountRows(QStringLiteral("AlternateCredentials")), 1);
    // Only the error-message exception writes to the log.
    EXPECT_EQ(LogLines(), QStringList{QStringLiteral(
                              "Error,Unable to delete this record, other tables link to this record")});

    EXPECT_EQ(engine::DeleteCredentialLink(*dataDM, domain, credential), 1);
    Credentials().Delete();
    Domains().Delete();
    EXPECT_EQ(CountRows(QStringLiteral("MngdDomains")), 0);
    EXPECT_EQ(CountRows(QStringLiteral("AlternateCredentials")), 0);
}

TEST_P(CredentialsTest, NewRowsStartActiveAndEveryPostStampsTheRow)
{
    Credentials().Append();
    EXPECT_TRUE(Credentials().FieldByName(QStringLiteral("isActive")).AsBoolean());
    EXPECT_FALSE(Credentials().FieldByName(kStamp).IsNull());
    Credentials().Cancel();
    Domains().Append();
    EXPECT_FALSE(Domains().FieldByName(kStamp).IsNull());
    Domains().Cancel();

    const int domain = AddDomain(QStringLiteral("corp"));
    const int credential = AddCredential(QStringLiteral("audit"), QStringLiteral("pw"));
    const QDateTime old(QDate(2001, 2, 3), QTime(4, 5, 6));
    for (data::TableDataset* t : {&Domains(), &Credentials()}) {
        ASSERT_TRUE(t->Locate(QStringLiteral("ID"), t == &Domains() ? domain : credential));
        t->Edit();
        t->FieldByName(kStamp).SetAsDateTime(old);
        const QDateTime before = QDateTime::currentDateTime();
        t->Post();
        const QDateTime stamp = t->FieldByName(kStamp).AsDateTime();
        EXPECT_GE(stamp, before) << t->Table().name.toStdString();
        EXPECT_LE(stamp, QDateTime::currentDateTime());
    }
    connection->Reconnect();
    ASSERT_TRUE(Credentials().Locate(QStringLiteral("ID"), credential));
    EXPECT_GT(Credentials().FieldByName(kStamp).AsDateTime(), old);
    EXPECT_TRUE(Credentials().FieldByName(QStringLiteral("isActive")).AsBoolean());
}

TEST_P(CredentialsTest, LinkStatementsKeepTheOrderAndLeaveGaps)
{
    const int corp = AddDomain(QStringLiteral("corp"));
    const int branch = AddDomain(QStringLiteral("branch"));
    QList<int> ids;
    for (const char* name : {"a", "b", "c"})
        ids << AddCredential(QString::fromLatin1(name), QStringLiteral("pw"));
    for (int i = 0; i < 3; ++i)
        engine::InsertCredentialLink(*dataDM, corp, ids[i], 2 - i);

    auto order = [&](int domain) {
        QStringList list;
        for (const engine::LinkedCredential& c : engine::DomainCredentials(*dataDM, domain))
            list << QStringLiteral("%1:%2").arg(c.description).arg(c.priority);
        return list;
    };
    EXPECT_EQ(order(corp), QStringList({QStringLiteral("c:0"), QStringLiteral("b:1"), QStringLiteral("a:2")}));
    EXPECT_EQ(engine::DeleteCredentialLink(*dataDM, corp, ids[1]), 1);
    EXPECT_EQ(order(corp), QStringList({QStringLiteral("c:0"), QStringLiteral("a:2")}));
    EXPECT_EQ(engine::UpdateCredentialLink(*dataDM, branch, ids[2], 0, corp), 1);
    EXPECT_EQ(order(corp), QStringList{QStringLiteral("a:2")});
    EXPECT_EQ(order(branch), QStringList{QStringLiteral("c:0")});
    EXPECT_EQ(engine::DeleteDomainLinks(*dataDM, corp), 1);
    EXPECT_TRUE(order(corp).isEmpty());
}

} // namespace
} // namespace velmora::test
