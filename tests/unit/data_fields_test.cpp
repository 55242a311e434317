// Field values: cutting to the width, padding, GUID text, booleans, integer ranges, dates,
// and the get-text / set-text events.

#include "applib/Exceptions.h"
#include "data/Fields.h"

#include <gtest/gtest.h>

using namespace velmora::data;

namespace {

FieldDef Def(const QString& name, FieldType type = FieldType::Text, int size = 0,
             bool required = false, const QString& label = {})
{
    return FieldDef{name, type, size, required, label};
}

// U+1F600 (one character, two UTF-16 units) and U+00E9 (one character, two UTF-8 bytes).
const QString kSmiley = QString::fromUtf8("\xF0\x9F\x98\x80");
const QString kEAcute = QString::fromUtf8("\xC3\xA9");

struct CutCase
{
    const char* name;
    QString text;
    int width;
    QString expected;
};

// Failure messages name the case.
void PrintTo(const CutCase& c, std::ostream* os)
{
    *os << c.name;
}

class CutToWidthTest : public ::testing::TestWithParam<CutCase>
{
};

TEST_P(CutToWidthTest, KeepsWholeCharacters)
{
    const CutCase& c = GetParam();
    EXPECT_EQ(CutToWidth(c.text, c.width), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CutToWidthTest,
    ::testing::Values(CutCase{"shorter", QStringLiteral("abc"), 5, QStringLiteral("abc")},
                      CutCase{"exact", QStringLiteral("abcde"), 5, QStringLiteral("abcde")},
                      CutCase{"longer", QStringLiteral("abcdef"), 5, QStringLiteral("abcde")},
                      CutCase{"zero", QStringLiteral("abc"), 0, QString()},
                      CutCase{"negativeKeepsAll", QStringLiteral("abc"), -1, QStringLiteral("abc")},
                      // The pair at the boundary counts as one character and stays whole.
                      CutCase{"pairEndsAtWidth",
                              QStringLiteral("ab") + kSmiley + QStringLiteral("cd"), 3,
                              QStringLiteral("ab") + kSmiley},
                      CutCase{"pairJustAfterWidth",
                              QStringLiteral("ab") + kSmiley + QStringLiteral("cd"), 2,
                              QStringLiteral("ab")},
                      // Five characters in ten UTF-16 units: nothing to cut at width 5.
                      CutCase{"pairsOnly", kSmiley + kSmiley + kSmiley + kSmiley + kSmiley, 5,
                              kSmiley + kSmiley + kSmiley + kSmiley + kSmiley},
                      CutCase{"pairsCut", kSmiley + kSmiley + kSmiley, 2, kSmiley + kSmiley},
                      CutCase{"multiByte", kEAcute + kEAcute + kEAcute + kEAcute, 3,
                              kEAcute + kEAcute + kEAcute}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FieldTextTest, TextIsCutAndFixedTextPaddedOnAssignment)
{
    Field text(Def(QStringLiteral("SID"), FieldType::Text, 5));
    text.SetValue(QStringLiteral("S-1-5-21-1"));
    EXPECT_EQ(text.AsString(), QStringLiteral("S-1-5"));
    text.SetValue(QStringLiteral("ab") + kSmiley + QStringLiteral("cdef"));
    EXPECT_EQ(text.AsString(), QStringLiteral("ab") + kSmiley + QStringLiteral("cd"));

    Field fixed(Def(QStringLiteral("GroupSID"), FieldType::FixedText, 6));
    fixed.SetValue(QStringLiteral("S-1"));
    EXPECT_EQ(fixed.AsString(), QStringLiteral("S-1   "));
    fixed.SetValue(kSmiley);
    EXPECT_EQ(fixed.AsString(), kSmiley + QStringLiteral("     "));
    EXPECT_EQ(CharacterCount(fixed.AsString()), 6);
    fixed.SetValue(QStringLiteral("S-1-5-32-544"));
    EXPECT_EQ(fixed.AsString(), QStringLiteral("S-1-5-"));

    // A value read from the database is taken as it is: never cut.
    text.SetStoredValue(QStringLiteral("longer than five"));
    EXPECT_EQ(text.AsString(), QStringLiteral("longer than five"));
}

TEST(FieldTextTest, NullStaysNull)
{
    for (FieldType type : {FieldType::Text, FieldType::FixedText, FieldType::Guid, FieldType::Bool,
                           FieldType::Integer, FieldType::DateTime}) {
        Field field(Def(QStringLiteral("F"), type, 4));
        field.SetValue(QVariant());
        EXPECT_TRUE(field.IsNull());
        EXPECT_EQ(field.AsString(), QString());
    }
}

struct ConvertCase
{
    const char* name;
    FieldType type;
    QVariant input;
    QVariant expected; // invalid: the assignment raises
};

// Failure messages name the case.
void PrintTo(const ConvertCase& c, std::ostream* os)
{
    *os << c.name;
}

class ConvertFieldValueTest : public ::testing::TestWithParam<ConvertCase>
{
};

TEST_P(ConvertFieldValueTest, ConvertsOrRaises)
{
    const ConvertCase& c = GetParam();
    const FieldDef def = Def(QStringLiteral("Column"), c.type);
    if (!c.expected.isValid()) {
        EXPECT_THROW(ConvertFieldValue(def, c.input), velmora::Exception);
        return;
    }
    const QVariant actual = ConvertFieldValue(def, c.input);
    EXPECT_EQ(actual.metaType(), c.expected.metaType());
    EXPECT_EQ(actual, c.expected);
}

const QString kGuid = QStringLiteral("{0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5D}");

INSTANTIATE_TEST_SUITE_P(
    Cases, ConvertFieldValueTest,
    ::testing::Values(
        ConvertCase{"guidLowerNoBraces", FieldType::Guid,
                    QStringLiteral("0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d"), kGuid},
        ConvertCase{"guidAsIs", FieldType::Guid, kGuid, kGuid},
        ConvertCase{"guidZero", FieldType::Guid,
                    QStringLiteral("{00000000-0000-0000-0000-000000000000}"),
                    QStringLiteral("{00000000-0000-0000-0000-000000000000}")},
        ConvertCase{"guidBad", FieldType::Guid, QStringLiteral("{0A1B2C3D}"), QVariant()},
        ConvertCase{"guidOneBrace", FieldType::Guid, kGuid.mid(1), QVariant()},
        ConvertCase{"boolText", FieldType::Bool, QStringLiteral("True"), QVariant(true)},
        ConvertCase{"boolFalseText", FieldType::Bool, QStringLiteral("false"), QVariant(false)},
        ConvertCase{"boolFromStoredInt", FieldType::Bool, QVariant(qlonglong(1)), QVariant(true)},
        ConvertCase{"boolFromZero", FieldType::Bool, QVariant(0), QVariant(false)},
        ConvertCase{"boolBad", FieldType::Bool, QStringLiteral("maybe"), QVariant()},
        ConvertCase{"tinyMax", FieldType::TinyInt, QVariant(255), QVariant(255)},
        ConvertCase{"tinyOver", FieldType::TinyInt, QVariant(256), QVariant()},
        ConvertCase{"tinyNegative", FieldType::TinyInt, QVariant(-1), QVariant()},
        ConvertCase{"smallMin", FieldType::SmallInt, QVariant(-32768), QVariant(-32768)},
        ConvertCase{"smallUnder", FieldType::SmallInt, QVariant(-32769), QVariant()},
        ConvertCase{"integerText", FieldType::Integer, QStringLiteral(" 42 "), QVariant(42)},
        ConvertCase{"integerFromBool", FieldType::Integer, QVariant(true), QVariant(1)},
        ConvertCase{"integerBad", FieldType::Integer, QStringLiteral("4x"), QVariant()},
        ConvertCase{"integerOver", FieldType::Integer, QVariant(qlonglong(1) << 31), QVariant()},
        ConvertCase{"dateTimeBlank", FieldType::DateTime, QStringLiteral("2024-03-05 06:07:08.009"),
                    QVariant(QDateTime(QDate(2024, 3, 5), QTime(6, 7, 8, 9)))},
        ConvertCase{"dateTimeIso", FieldType::DateTime, QStringLiteral("2024-03-05T06:07:08"),
                    QVariant(QDateTime(QDate(2024, 3, 5), QTime(6, 7, 8)))},
        ConvertCase{"dateOnly", FieldType::DateTime, QStringLiteral("2024-03-05"),
                    QVariant(QDate(2024, 3, 5).startOfDay())},
        ConvertCase{"dateTimeBad", FieldType::DateTime, QStringLiteral("yesterday"), QVariant()}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FieldConversionTest, EmptyTextIsNullForNonTextTypes)
{
    const std::pair<FieldType, QString> samples[] = {
        {FieldType::Guid, kGuid},
        {FieldType::Bool, QStringLiteral("1")},
        {FieldType::SmallInt, QStringLiteral("1")},
        {FieldType::DateTime, QStringLiteral("2024-01-01")},
    };
    for (const auto& [type, sample] : samples) {
        Field field(Def(QStringLiteral("F"), type));
        field.SetValue(sample);
        ASSERT_FALSE(field.IsNull()) << static_cast<int>(type);
        field.SetAsString(QString());
        EXPECT_TRUE(field.IsNull()) << static_cast<int>(type);
    }
    Field text(Def(QStringLiteral("F"), FieldType::Text, 10));
    text.SetAsString(QString());
    EXPECT_FALSE(text.IsNull());
}

TEST(FieldConversionTest, FailedAssignmentKeepsTheOldValue)
{
    Field field(Def(QStringLiteral("Depth"), FieldType::TinyInt));
    field.SetAsInteger(7);
    EXPECT_THROW(field.SetAsInteger(300), velmora::Exception);
    EXPECT_EQ(field.AsInteger(), 7);
}

TEST(FieldConversionTest, ReadersOfOtherTypes)
{
    Field flag(Def(QStringLiteral("isDC"), FieldType::Bool));
    flag.SetAsBoolean(true);
    EXPECT_EQ(flag.AsString(), QStringLiteral("True"));
    EXPECT_EQ(flag.AsInteger(), 1);
    flag.Clear();
    EXPECT_FALSE(flag.AsBoolean());
    EXPECT_EQ(flag.AsInteger(), 0);

    Field text(Def(QStringLiteral("Number"), FieldType::Text, 10));
    text.SetAsString(QStringLiteral("12"));
    EXPECT_EQ(text.AsInteger(), 12);
    text.SetAsString(QStringLiteral("twelve"));
    EXPECT_THROW(text.AsInteger(), velmora::Exception);

    Field stamp(Def(QStringLiteral("LastUserModified"), FieldType::DateTime));
    stamp.SetAsDateTime(QDateTime(QDate(2023, 12, 31), QTime(23, 59, 58)));
    EXPECT_EQ(stamp.AsString(), QStringLiteral("2023-12-31 23:59:58"));
}

TEST(FieldEventsTest, GetTextAndSetTextGoThroughTheHandlers)
{
    Field password(
        Def(QStringLiteral("UserPassword"), FieldType::Text, 8, true, QStringLiteral("Password")));
    EXPECT_EQ(password.DisplayLabel(), QStringLiteral("Password"));
    QList<bool> asked;
    password.OnGetText = [&](const Field& field, bool displayText) {
        asked.append(displayText);
        return field.IsNull() ? QString() : QStringLiteral("****");
    };
    password.OnSetText = [](Field& field, const QString& text) { field.SetValue(text.toUpper()); };
    password.SetText(QStringLiteral("secret-and-more"));
    EXPECT_EQ(password.AsString(), QStringLiteral("SECRET-A")); // cut after the handler
    EXPECT_EQ(password.DisplayText(), QStringLiteral("****"));
    EXPECT_EQ(password.Text(), QStringLiteral("****"));
    EXPECT_EQ(asked, (QList<bool>{true, false}));

    // SetValue and SetAsString bypass the handler.
    password.SetAsString(QStringLiteral("plain"));
    EXPECT_EQ(password.AsString(), QStringLiteral("plain"));
}

TEST(TableDefTest, FieldLookupIgnoresCase)
{
    TableDef table{QStringLiteral("Servers"),
                   {Def(QStringLiteral("ProviderName")), Def(QStringLiteral("Server"))},
                   QStringLiteral("PK_Servers"),
                   {QStringLiteral("ProviderName")}};
    ASSERT_NE(table.field(QStringLiteral("server")), nullptr);
    EXPECT_EQ(table.field(QStringLiteral("server"))->name, QStringLiteral("Server"));
    EXPECT_EQ(table.field(QStringLiteral("Domain")), nullptr);
}

TEST(RequiredFieldsTest, NamesTheFirstMissingFieldByItsLabel)
{
    std::vector<std::unique_ptr<Field>> fields;
    fields.push_back(
        std::make_unique<Field>(Def(QStringLiteral("ID"), FieldType::AutoInc, 0, true)));
    fields.push_back(std::make_unique<Field>(
        Def(QStringLiteral("UserName"), FieldType::Text, 80, true, QStringLiteral("User Name"))));
    fields.push_back(
        std::make_unique<Field>(Def(QStringLiteral("Code"), FieldType::FixedText, 4, true)));

    const auto message = [&]() -> QString {
        try {
            CheckRequiredFields(fields);
        } catch (const velmora::Exception& e) {
            return e.Message();
        }
        return QStringLiteral("(accepted)");
    };
    EXPECT_EQ(message(), QStringLiteral("Field 'User Name' must have a value"));
    fields[1]->SetAsString(QString());
    EXPECT_EQ(message(), QStringLiteral("Field 'User Name' must have a value"));
    fields[1]->SetAsString(QStringLiteral("admin"));
    fields[2]->SetAsString(QString()); // blanks only
    EXPECT_EQ(message(), QStringLiteral("Field 'Code' must have a value"));
    fields[2]->SetAsString(QStringLiteral("X"));
    EXPECT_EQ(message(), QStringLiteral("(accepted)"));
}

} // namespace
