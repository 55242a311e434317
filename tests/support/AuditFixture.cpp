#include "support/AuditFixture.h"

#include "applib/LastError.h"
#include "data/Dataset.h"
#include "store/ConnectionFile.h"

#include <QFile>

namespace velmora::test {

void AuditFixture::SetUp()
{
    LoggedTest::SetUp();
    home = dir.path();

    const store::ProgramFolder folder(home);
    QString error;
    ASSERT_TRUE(store::CreateDatabaseFile(folder.Database(), error)) << error.toStdString();
    ASSERT_TRUE(store::WriteConnectionFile(
        folder.ConnectionFile(), store::SQLiteInitString(store::ProgramFolder::DatabaseRelativePath()),
        error))
        << error.toStdString();
}

void AuditFixture::TearDown()
{
    dataDM.reset();
    connection.reset();
    lab.reset();
    LoggedTest::TearDown();
}

void AuditFixture::StartLab(const QByteArray& labJson)
{
    const QString path = home + QStringLiteral("/lab.json");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(labJson);
    file.close();
    QString error;
    lab = platform::lab::LabNetwork::Open(path, error);
    ASSERT_TRUE(lab) << error.toStdString();
    connection = std::make_unique<store::TConnectionDM>(store::ProgramFolder(home));
    dataDM = std::make_unique<engine::TDataDM>(*connection, *lab, progress);
    connection->Connect();
}

QStringList AuditFixture::ServerRows()
{
    QStringList rows;
    data::Statement q(connection->Connection());
    q.SetSQL(QStringLiteral("SELECT ProviderName, DomainName, Server, isDC, isOnline FROM Servers "
                            "ORDER BY rowid"));
    for (q.Open(); !q.Eof(); q.Next())
        rows << QStringLiteral("%1/%2/%3%4%5")
                    .arg(q.FieldAt(0).toString(), q.FieldAt(1).toString(), q.FieldAt(2).toString(),
                         q.FieldAt(3).toBool() ? QStringLiteral(" dc") : QString(),
                         q.FieldAt(4).toBool() ? QStringLiteral(" online") : QString());
    return rows;
}

int AuditFixture::CountRows(const QString& table)
{
    data::Statement q(connection->Connection());
    q.SetSQL(QStringLiteral("SELECT COUNT(*) FROM ") + table);
    q.Open();
    return q.FieldAt(0).toInt();
}

void AuditFixture::ShowWait(bool cancelAllowed)
{
    engine::WaitOptions options;
    options.caption = QStringLiteral("Please be patient...");
    options.cancelAllowed = cancelAllowed;
    progress.ShowWait(options);
}

} // namespace velmora::test
