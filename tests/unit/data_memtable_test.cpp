// Memory tables: append/edit/delete with events, navigation, filter and locate.

#include "applib/Exceptions.h"
#include "data/MemTable.h"

#include <gtest/gtest.h>

using namespace velmora::data;
using velmora::Exception;

namespace {

FieldDef Def(const QString& name, FieldType type = FieldType::Text, int size = 0,
             bool required = false, const QString& label = {})
{
    return FieldDef{name, type, size, required, label};
}

const QString kName = QStringLiteral("UserGroupName");
const QString kSid = QStringLiteral("SID");
const QString kGroup = QStringLiteral("isGroup");

MemTable Accounts()
{
    return MemTable({Def(kName, FieldType::Text, 80, true, QStringLiteral("Name")),
                     Def(kSid, FieldType::FixedText, 12), Def(kGroup, FieldType::Bool)});
}

void Add(MemTable& table, const QString& name, const QVariant& sid, const QVariant& isGroup)
{
    table.Append();
    table.FieldByName(kName).SetValue(name);
    table.FieldByName(kSid).SetValue(sid);
    table.FieldByName(kGroup).SetValue(isGroup);
    table.Post();
}

QStringList Names(MemTable& table)
{
    QStringList names;
    for (bool row = table.First(); row; row = table.Next())
        names.append(table.FieldByName(kName).AsString());
    return names;
}

class MemTableTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        m_table.Open();
        Add(m_table, QStringLiteral("[ALL]"), QStringLiteral("S-0"), QVariant());
        Add(m_table, QStringLiteral("Sales"), QStringLiteral("S-1-5-1"), true);
        Add(m_table, QStringLiteral("alice"), QStringLiteral("S-1-5-2"), false);
        Add(m_table, QStringLiteral("Admins"), QStringLiteral("S-1-5-3"), true);
        Add(m_table, QStringLiteral("bob"), QVariant(), false);
    }

    QString Current() { return m_table.FieldByName(kName).AsString(); }

    MemTable m_table = Accounts();
};

TEST_F(MemTableTest, KeepsRowsInTheOrderTheyWereAdded)
{
    EXPECT_EQ(m_table.RecordCount(), 5);
    EXPECT_EQ(Names(m_table), (QStringList{QStringLiteral("[ALL]"), QStringLiteral("Sales"),
                                           QStringLiteral("alice"), QStringLiteral("Admins"),
                                           QStringLiteral("bob")}));
    EXPECT_TRUE(m_table.Eof());
    EXPECT_EQ(Current(), QStringLiteral("bob")); // the last row stays current
    EXPECT_EQ(m_table.FieldByName(kSid).AsString(), QString());
}

TEST_F(MemTableTest, OpenAndEmptyTableStartAfresh)
{
    int opened = 0;
    m_table.AfterOpen = [&](MemTable& table) {
        ++opened;
        Add(table, QStringLiteral("[NONE]"), QStringLiteral("{0}"), QVariant());
    };
    m_table.Close();
    EXPECT_FALSE(m_table.Active());
    EXPECT_THROW(m_table.First(), Exception);
    m_table.Open();
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(Names(m_table), QStringList{QStringLiteral("[NONE]")});
    m_table.EmptyTable();
    EXPECT_EQ(m_table.RecordCount(), 0);
    EXPECT_FALSE(m_table.First());
    EXPECT_TRUE(m_table.Eof());
}

TEST_F(MemTableTest, FilterHidesRowsFromNavigationCountAndLocate)
{
    bool groups = true;
    m_table.Filter = [&](const MemTable& table) {
        return table.FieldByName(kName).AsString() == QStringLiteral("[ALL]") ||
               (!table.FieldByName(kGroup).IsNull() &&
                table.FieldByName(kGroup).AsBoolean() == groups);
    };
    m_table.SetFiltered(true);
    EXPECT_TRUE(m_table.Filtered());
    EXPECT_EQ(Current(), QStringLiteral("[ALL]"));
    EXPECT_EQ(m_table.RecordCount(), 3);
    EXPECT_EQ(Names(m_table), (QStringList{QStringLiteral("[ALL]"), QStringLiteral("Sales"),
                                           QStringLiteral("Admins")}));
    EXPECT_FALSE(m_table.Locate({kName}, {QStringLiteral("alice")}));
    EXPECT_EQ(Current(), QStringLiteral("Admins"));

    // Switching the filter off and on again applies a changed condition.
    groups = false;
    m_table.SetFiltered(false);
    EXPECT_EQ(m_table.RecordCount(), 5);
    m_table.SetFiltered(true);
    EXPECT_EQ(Names(m_table), (QStringList{QStringLiteral("[ALL]"), QStringLiteral("alice"),
                                           QStringLiteral("bob")}));
    EXPECT_TRUE(m_table.Locate({kName}, {QStringLiteral("alice")}));

    // Deleting a visible row moves to the next visible one.
    m_table.Delete();
    EXPECT_EQ(Current(), QStringLiteral("bob"));
    m_table.SetFiltered(false);
    EXPECT_EQ(m_table.RecordCount(), 4);
}

struct LocateCase
{
    const char* name;
    QStringList fields;
    QVariantList values;
    bool caseInsensitive;
    QString expected; // empty: not found
};

// Failure messages name the case.
void PrintTo(const LocateCase& c, std::ostream* os)
{
    *os << c.name;
}

class MemTableLocateTest : public MemTableTest, public ::testing::WithParamInterface<LocateCase>
{
};

TEST_P(MemTableLocateTest, FindsTheFirstMatchingRow)
{
    const LocateCase& c = GetParam();
    ASSERT_TRUE(m_table.First());
    const bool found = m_table.Locate(c.fields, c.values, c.caseInsensitive);
    EXPECT_EQ(found, !c.expected.isEmpty());
    EXPECT_EQ(Current(), found ? c.expected : QStringLiteral("[ALL]"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MemTableLocateTest,
    ::testing::Values(
        LocateCase{"byName", {kName}, {QStringLiteral("alice")}, false, QStringLiteral("alice")},
        LocateCase{"caseMatters", {kName}, {QStringLiteral("ALICE")}, false, QString()},
        LocateCase{
            "caseInsensitive", {kName}, {QStringLiteral("ALICE")}, true, QStringLiteral("alice")},
        LocateCase{"fixedIgnoresBlanks",
                   {kSid},
                   {QStringLiteral("S-1-5-3")},
                   false,
                   QStringLiteral("Admins")},
        LocateCase{"fixedSearchPadded",
                   {kSid},
                   {QStringLiteral("S-1-5-3     ")},
                   false,
                   QStringLiteral("Admins")},
        LocateCase{"nullMatchesNull", {kSid}, {QVariant()}, false, QStringLiteral("bob")},
        LocateCase{"twoFields",
                   {kGroup, kName},
                   {true, QStringLiteral("Admins")},
                   false,
                   QStringLiteral("Admins")},
        LocateCase{"twoFieldsConverted",
                   {kGroup, kName},
                   {QStringLiteral("True"), QStringLiteral("Sales")},
                   false,
                   QStringLiteral("Sales")},
        LocateCase{
            "twoFieldsNone", {kGroup, kName}, {false, QStringLiteral("Admins")}, false, QString()}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MemTableTest, EditCancelAndEvents)
{
    QStringList log;
    m_table.OnNewRecord = [&](MemTable& table) {
        log << QStringLiteral("new");
        table.FieldByName(kGroup).SetAsBoolean(false);
    };
    m_table.BeforePost = [&](MemTable& table) {
        log << QStringLiteral("before");
        table.FieldByName(kName).SetAsString(table.FieldByName(kName).AsString().trimmed());
    };
    m_table.AfterPost = [&](MemTable&) { log << QStringLiteral("after"); };

    m_table.Append();
    EXPECT_FALSE(m_table.FieldByName(kGroup).AsBoolean());
    try {
        m_table.Post();
        ADD_FAILURE() << "posted without a name";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Field 'Name' must have a value"));
    }
    m_table.FieldByName(kName).SetAsString(QStringLiteral("  carol "));
    m_table.Post();
    EXPECT_EQ(Current(), QStringLiteral("carol"));
    EXPECT_EQ(log, (QStringList{QStringLiteral("new"), QStringLiteral("before"),
                                QStringLiteral("before"), QStringLiteral("after")}));
    EXPECT_EQ(m_table.RecordCount(), 6);

    ASSERT_TRUE(m_table.Locate({kName}, {QStringLiteral("Sales")}));
    m_table.Edit();
    m_table.FieldByName(kName).SetAsString(QStringLiteral("Marketing"));
    m_table.Cancel();
    EXPECT_EQ(Current(), QStringLiteral("Sales"));
    m_table.Edit();
    m_table.FieldByName(kName).SetAsString(QStringLiteral("Marketing"));
    m_table.Next(); // a changed record is posted before moving
    EXPECT_TRUE(m_table.Locate({kName}, {QStringLiteral("Marketing")}));

    // An untouched new record is dropped when moving on.
    m_table.Append();
    m_table.First();
    EXPECT_EQ(m_table.RecordCount(), 6);
}

TEST_F(MemTableTest, DeleteMovesToTheNextRowOrTheLastOne)
{
    int refused = 0;
    m_table.BeforeDelete = [&](MemTable& table) {
        if (table.FieldByName(kName).AsString() == QStringLiteral("[ALL]")) {
            ++refused;
            throw Exception(QStringLiteral("keyword row"));
        }
    };
    ASSERT_TRUE(m_table.First());
    EXPECT_THROW(m_table.Delete(), Exception);
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(m_table.RecordCount(), 5);

    ASSERT_TRUE(m_table.Locate({kName}, {QStringLiteral("alice")}));
    m_table.Delete();
    EXPECT_EQ(Current(), QStringLiteral("Admins"));
    EXPECT_FALSE(m_table.Eof());
    ASSERT_TRUE(m_table.Locate({kName}, {QStringLiteral("bob")}));
    m_table.Delete();
    EXPECT_EQ(Current(), QStringLiteral("Admins"));
    EXPECT_TRUE(m_table.Eof());
    EXPECT_EQ(m_table.RecordCount(), 3);
}

TEST_F(MemTableTest, UnknownFieldRaises)
{
    EXPECT_THROW(m_table.FieldByName(QStringLiteral("Nope")), Exception);
    EXPECT_THROW(m_table.Locate({QStringLiteral("Nope")}, {1}), Exception);
    EXPECT_EQ(&m_table.FieldByName(QStringLiteral("sid")), m_table.FindField(kSid));
}

} // namespace
