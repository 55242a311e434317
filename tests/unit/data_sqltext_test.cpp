// Reading the program's SQL: :Name parameters and bracket-quoted names, with literals,
// quoted names and comments left alone.

#include "data/SqlText.h"

#include <gtest/gtest.h>

using namespace velmora::data;

namespace {

struct PositionalCase
{
    const char* name;
    QString sql;
    QString text;
    QStringList names;
    QList<int> order;
};

// Failure messages name the case.
void PrintTo(const PositionalCase& c, std::ostream* os)
{
    *os << c.name;
}

class ToPositionalTest : public ::testing::TestWithParam<PositionalCase>
{
};

TEST_P(ToPositionalTest, ReplacesParametersOutsideQuotes)
{
    const PositionalCase& c = GetParam();
    const PositionalSql result = ToPositional(c.sql);
    EXPECT_EQ(result.text, c.text);
    EXPECT_EQ(result.names, c.names);
    EXPECT_EQ(result.order, c.order);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToPositionalTest,
    ::testing::Values(
        PositionalCase{"none", QStringLiteral("SELECT 1"), QStringLiteral("SELECT 1"), {}, {}},
        PositionalCase{
            "one",
            QStringLiteral("SELECT Distinct DomainName FROM Servers WHERE ProviderName = "
                           ":ProviderName"),
            QStringLiteral("SELECT Distinct DomainName FROM Servers WHERE ProviderName = ?"),
            {QStringLiteral("ProviderName")},
            {0}},
        PositionalCase{"repeatedAnyCase",
                       QStringLiteral("x = :A OR y = :b OR z = :a"),
                       QStringLiteral("x = ? OR y = ? OR z = ?"),
                       {QStringLiteral("A"), QStringLiteral("b")},
                       {0, 1, 0}},
        PositionalCase{"literal",
                       QStringLiteral("SELECT '10:30 :x', 'it''s :y' WHERE a = :z"),
                       QStringLiteral("SELECT '10:30 :x', 'it''s :y' WHERE a = ?"),
                       {QStringLiteral("z")},
                       {0}},
        PositionalCase{"quotedNames",
                       QStringLiteral("SELECT [a:b], \"c:d\" FROM t WHERE e=:e"),
                       QStringLiteral("SELECT [a:b], \"c:d\" FROM t WHERE e=?"),
                       {QStringLiteral("e")},
                       {0}},
        PositionalCase{"comments",
                       QStringLiteral("SELECT 1 -- :not\nFROM t /* :nor */ WHERE a=:yes"),
                       QStringLiteral("SELECT 1 -- :not\nFROM t /* :nor */ WHERE a=?"),
                       {QStringLiteral("yes")},
                       {0}},
        PositionalCase{"cast",
                       QStringLiteral("SELECT a::int, :p1_2"),
                       QStringLiteral("SELECT a::int, ?"),
                       {QStringLiteral("p1_2")},
                       {0}},
        PositionalCase{"unterminatedLiteral",
                       QStringLiteral("SELECT ':x"),
                       QStringLiteral("SELECT ':x"),
                       {},
                       {}}),
    [](const auto& info) { return std::string(info.param.name); });

struct QuoteCase
{
    const char* name;
    QString sql;
    QString expected;
};

// Failure messages name the case.
void PrintTo(const QuoteCase& c, std::ostream* os)
{
    *os << c.name;
}

class BracketsToDoubleQuotesTest : public ::testing::TestWithParam<QuoteCase>
{
};

TEST_P(BracketsToDoubleQuotesTest, RewritesQuotingOnly)
{
    EXPECT_EQ(BracketsToDoubleQuotes(GetParam().sql), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BracketsToDoubleQuotesTest,
    ::testing::Values(
        QuoteCase{"name", QStringLiteral("SELECT [Full Control] FROM t"),
                  QStringLiteral("SELECT \"Full Control\" FROM t")},
        QuoteCase{"several", QStringLiteral("[a].[b c]"), QStringLiteral("\"a\".\"b c\"")},
        QuoteCase{"escapedBracket", QStringLiteral("[a]]b]"), QStringLiteral("\"a]b\"")},
        QuoteCase{"doubleQuoteInside", QStringLiteral("[a\"b]"), QStringLiteral("\"a\"\"b\"")},
        QuoteCase{"literalKept", QStringLiteral("SELECT '[ALL]', [x]"),
                  QStringLiteral("SELECT '[ALL]', \"x\"")},
        QuoteCase{"quotedKept", QStringLiteral("\"[y]\""), QStringLiteral("\"[y]\"")},
        QuoteCase{"commentKept", QStringLiteral("-- [c]\n[d]"), QStringLiteral("-- [c]\n\"d\"")},
        QuoteCase{"parametersKept", QStringLiteral("[e] = :e"), QStringLiteral("\"e\" = :e")},
        QuoteCase{"unterminated", QStringLiteral("[abc"), QStringLiteral("\"abc\"")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(QuoteNameTest, BracketsOnlyWhatNeedsIt)
{
    EXPECT_EQ(QuoteName(QStringLiteral("ProviderName")), QStringLiteral("ProviderName"));
    EXPECT_EQ(QuoteName(QStringLiteral("_Delete")), QStringLiteral("_Delete"));
    EXPECT_EQ(QuoteName(QStringLiteral("Full Control")), QStringLiteral("[Full Control]"));
    EXPECT_EQ(QuoteName(QStringLiteral("Order")), QStringLiteral("[Order]"));
    EXPECT_EQ(QuoteName(QStringLiteral("a]b")), QStringLiteral("[a]]b]"));
    EXPECT_EQ(QuoteName(QStringLiteral("2nd")), QStringLiteral("[2nd]"));
}

} // namespace
