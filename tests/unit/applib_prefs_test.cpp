// Preference sections over INI settings. Every test points both scopes at private folders:
// QStandardPaths' test mode covers the user scope only, and the machine-wide scope would
// otherwise be the real system folder.

#include "applib/Exceptions.h"
#include "applib/LastError.h"
#include "applib/Prefs.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <ostream>

// Readable texts in failure messages.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace velmora {
namespace {

using namespace prefkeys;

const QString kPath = QString::fromLatin1(kRegistryPath);
const QString kTitle = QString::fromLatin1(kApplicationTitle);
const QString kAutoRefresh = QString::fromLatin1(kAutoRefreshSection);
const QString kEnumeration = QString::fromLatin1(kEnumerationSection);

class PrefsTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        PointScopesAt(m_dir.filePath(QStringLiteral("user")),
                      m_dir.filePath(QStringLiteral("system")));
        ClearLastErrorForTesting();
    }
    void TearDown() override { ClearLastErrorForTesting(); }

    static void PointScopesAt(const QString& user, const QString& system)
    {
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, user);
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, system);
    }
    QString UserFile(const QString& relative) const
    {
        return m_dir.filePath(QStringLiteral("user/") + relative);
    }
    QByteArray ReadFile(const QString& path) const
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    void WriteUserFile(const QByteArray& content)
    {
        const QString path = UserFile(QStringLiteral("Velmora/Velmora.ini"));
        ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    }

    QTemporaryDir m_dir;
};

TEST_F(PrefsTest, StoresAreNamedAfterTheRegistryPathAndTitle)
{
    const struct
    {
        QString registryPath;
        QString title;
        QString file;
    } cases[] = {
        {kPath, kTitle, QStringLiteral("Velmora/Velmora.ini")},
        {QStringLiteral("SOFTWARE\\Velmora\\Audit"), QStringLiteral("Tool"),
         QStringLiteral("Velmora/Audit/Tool.ini")},
        {QStringLiteral("Velmora"), kTitle, QStringLiteral("Velmora/Velmora.ini")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.registryPath.toStdString());
        EXPECT_EQ(TUserPrefs(c.registryPath, c.title).FileName(),
                  m_dir.filePath(QStringLiteral("user/") + c.file));
        EXPECT_EQ(TSystemPrefs(c.registryPath, c.title).FileName(),
                  m_dir.filePath(QStringLiteral("system/") + c.file));
    }
}

TEST_F(PrefsTest, CreatingPreferencesNeedsARegistryPath)
{
    try {
        CreatePreferences({}, kTitle);
        ADD_FAILURE() << "no exception";
    } catch (const EErrorMessageException&) {
        ADD_FAILURE() << "a plain exception was expected";
    } catch (const Exception& e) {
        EXPECT_EQ(
            e.Message(),
            QStringLiteral("You need to Assign the value of RegIni_Path in the project file"));
    }

    const Preferences preferences = CreatePreferences(kPath, kTitle);
    ASSERT_TRUE(preferences.user);
    ASSERT_TRUE(preferences.system);
    EXPECT_EQ(preferences.user->FileName(), UserFile(QStringLiteral("Velmora/Velmora.ini")));
}

TEST_F(PrefsTest, TwoUserSectionsForOnePathSeeEachOthersValues)
{
    TUserPrefs first(kPath, kTitle);
    TUserPrefs second(kPath, kTitle);
    first.WriteBool(kAutoRefresh, QString::fromLatin1(kAutoRefreshActive), true);
    first.WriteInteger(kAutoRefresh, QString::fromLatin1(kAutoRefreshInterval), 15);
    first.WriteString(kAutoRefresh, QString::fromLatin1(kAutoRefreshDomains),
                      QStringLiteral("CORP, LAB"));
    ASSERT_TRUE(first.UpdateFile());

    EXPECT_TRUE(second.ReadBool(kAutoRefresh, QString::fromLatin1(kAutoRefreshActive), false));
    EXPECT_EQ(second.ReadInteger(kAutoRefresh, QString::fromLatin1(kAutoRefreshInterval), 0), 15);
    EXPECT_EQ(second.ReadString(kAutoRefresh, QString::fromLatin1(kAutoRefreshDomains), {}),
              QStringLiteral("CORP, LAB"));

    second.WriteInteger(kEnumeration, QString::fromLatin1(kMaxFolderDepth), 5);
    ASSERT_TRUE(second.UpdateFile());
    EXPECT_EQ(first.ReadInteger(kEnumeration, QString::fromLatin1(kMaxFolderDepth), 0), 5);

    // On disk as sections of an ini file, booleans as 0 and 1.
    const QByteArray file = ReadFile(first.FileName());
    EXPECT_TRUE(file.contains("[Auto-Refresh]")) << file.constData();
    EXPECT_TRUE(file.contains("Active=1")) << file.constData();
    EXPECT_TRUE(file.contains("[Enumeration]\nMaxFolderDepth=5")) << file.constData();

    // The machine-wide store is another file.
    TSystemPrefs system(kPath, kTitle);
    EXPECT_FALSE(system.ValueExists(kEnumeration, QString::fromLatin1(kMaxFolderDepth)));
}

TEST_F(PrefsTest, ReadsFallBackToTheirDefaults)
{
    WriteUserFile("[Enumeration]\n"
                  "MaxFolderDepth=deep\n"
                  "PingTimeoutMS= 2000 \n"
                  "[Flags]\n"
                  "One=1\nZero=0\nSeven=7\nTrue=true\nFalse=FALSE\nWord=maybe\nEmpty=\n"
                  "[Texts]\n"
                  "List=CORP,LAB\nQuoted=\"CORP, LAB\"\n");
    TUserPrefs prefs(kPath, kTitle);
    const QString enumeration = kEnumeration;
    const QString flags = QStringLiteral("Flags");

    EXPECT_EQ(prefs.ReadInteger(enumeration, QString::fromLatin1(kMaxFolderDepth),
                                kDefaultMaxFolderDepth),
              kDefaultMaxFolderDepth);
    EXPECT_EQ(
        prefs.ReadInteger(enumeration, QString::fromLatin1(kPingTimeoutMS), kDefaultPingTimeoutMS),
        2000);
    EXPECT_EQ(prefs.ReadInteger(QStringLiteral("Missing"), QStringLiteral("X"), 42), 42);
    EXPECT_EQ(prefs.ReadString(QStringLiteral("Missing"), QStringLiteral("X"), QStringLiteral("d")),
              QStringLiteral("d"));
    EXPECT_EQ(prefs.ReadString(flags, QStringLiteral("Empty"), QStringLiteral("d")), QString());
    EXPECT_EQ(prefs.ReadString(QStringLiteral("Texts"), QStringLiteral("List"), {}),
              QStringLiteral("CORP,LAB"));
    EXPECT_EQ(prefs.ReadString(QStringLiteral("Texts"), QStringLiteral("Quoted"), {}),
              QStringLiteral("CORP, LAB"));

    const struct
    {
        const char* ident;
        bool def;
        bool expected;
    } bools[] = {
        {"One", false, true},      {"Zero", true, false},  {"Seven", false, true},
        {"True", false, true},     {"False", true, false}, {"Word", true, true},
        {"Word", false, false},    {"Empty", true, true},  {"Missing", true, true},
        {"Missing", false, false},
    };
    for (const auto& b : bools) {
        SCOPED_TRACE(std::string(b.ident) + (b.def ? " default true" : " default false"));
        EXPECT_EQ(prefs.ReadBool(flags, QString::fromLatin1(b.ident), b.def), b.expected);
    }
}

TEST_F(PrefsTest, SectionsListDeleteAndErase)
{
    TUserPrefs prefs(kPath, kTitle);
    prefs.WriteString(kAutoRefresh, QStringLiteral("Domains"), QStringLiteral("CORP"));
    prefs.WriteInteger(kAutoRefresh, QStringLiteral("Interval"), 30);
    prefs.WriteBool(kAutoRefresh, QStringLiteral("Active"), false);
    prefs.WriteInteger(kEnumeration, QStringLiteral("MaxFolderDepth"), 2);

    EXPECT_TRUE(prefs.SectionExists(kAutoRefresh));
    EXPECT_FALSE(prefs.SectionExists(QStringLiteral("Network")));
    QStringList names = prefs.ReadSection(kAutoRefresh);
    names.sort();
    EXPECT_EQ(names, (QStringList{QStringLiteral("Active"), QStringLiteral("Domains"),
                                  QStringLiteral("Interval")}));
    EXPECT_FALSE(prefs.ReadBool(kAutoRefresh, QStringLiteral("Active"), true));

    prefs.DeleteKey(kAutoRefresh, QStringLiteral("Domains"));
    EXPECT_FALSE(prefs.ValueExists(kAutoRefresh, QStringLiteral("Domains")));
    EXPECT_TRUE(prefs.ValueExists(kAutoRefresh, QStringLiteral("Interval")));

    prefs.EraseSection(kAutoRefresh);
    EXPECT_FALSE(prefs.SectionExists(kAutoRefresh));
    EXPECT_TRUE(prefs.ReadSection(kAutoRefresh).isEmpty());
    EXPECT_EQ(prefs.ReadInteger(kEnumeration, QStringLiteral("MaxFolderDepth"), 0), 2);
    ASSERT_TRUE(prefs.UpdateFile());
    EXPECT_FALSE(ReadFile(prefs.FileName()).contains("Auto-Refresh"));
}

TEST_F(PrefsTest, UnwritableMachineStoreFailsToUpdateAndReadsDefaults)
{
    // A folder below a plain file cannot be created, whoever runs the test.
    const QString blocker = m_dir.filePath(QStringLiteral("blocker"));
    QFile file(blocker);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    PointScopesAt(m_dir.filePath(QStringLiteral("user")), blocker + QStringLiteral("/xdg"));

    TSystemPrefs system(kPath, kTitle);
    EXPECT_EQ(system.ReadInteger(kEnumeration, QString::fromLatin1(kPingTimeoutMS),
                                 kDefaultPingTimeoutMS),
              kDefaultPingTimeoutMS);
    system.WriteInteger(kEnumeration, QString::fromLatin1(kPingTimeoutMS), 100);
    EXPECT_FALSE(system.UpdateFile());
    EXPECT_EQ(
        GetLastErrorText(),
        QStringLiteral("The preferences file \"%1\" cannot be written").arg(system.FileName()));
    EXPECT_FALSE(QFile::exists(system.FileName()));
}

} // namespace
} // namespace velmora
