// Password scrambling: the keystream, the cuts, and the stored one-character-per-byte form.

#include "applib/CryptDfx.h"
#include "support/QtPrinters.h"

#include <QRandomGenerator>
#include <gtest/gtest.h>

namespace velmora {
namespace {

const QByteArray kKey("{7C3E19F0-A2D4-4B6C-8F31-C0E94D7A1B58}");

QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray bytes;
    for (int v : values)
        bytes.append(static_cast<char>(v));
    return bytes;
}

QByteArray RandomBytes(QRandomGenerator& random, int size)
{
    QByteArray bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random.bounded(256));
    return bytes;
}

TEST(ScrambleText, FirstMasksWalkTheKeyBackwards)
{
    const int masks[] = {0xED, 0x09, 0x7B, 0x42, 0x5E, 0xD0, 0x17, 0xF4};
    const QByteArray zeros = ScrambleText(QByteArray(8, '\0'));
    ASSERT_EQ(zeros.size(), 8);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(static_cast<quint8>(zeros[i]), static_cast<quint8>(kKey[37 - i]) ^ masks[i]) << "byte " << i;
}

TEST(ScrambleText, RunningItTwiceRestoresAnyBytes)
{
    QRandomGenerator random(20261211);
    QList<QByteArray> inputs{Bytes({0x00}), Bytes({0xFF, 0x00, 0x80, 0x7F, 0x02, 0x03}), QByteArray(255, '\0')};
    QByteArray everyByte;
    for (int b = 0; b < 256; ++b)
        everyByte.append(static_cast<char>(b));
    inputs << everyByte.left(255) << everyByte.right(255);
    for (int size : {1, 7, 38, 39, 76, 80, 200, 255})
        inputs << RandomBytes(random, size);
    for (const QByteArray& input : inputs) {
        const QByteArray once = ScrambleText(input);
        EXPECT_EQ(once.size(), input.size());
        EXPECT_NE(once, input);
        EXPECT_EQ(ScrambleText(once), input) << "size " << input.size();
    }
    EXPECT_TRUE(ScrambleText(QByteArray()).isEmpty());
}

TEST(ScrambleText, LongerTextIsCutTo255AndACutValueUnscramblesToTheBeginning)
{
    QRandomGenerator random(7);
    const QByteArray input = RandomBytes(random, 300);
    const QByteArray scrambled = ScrambleText(input);
    ASSERT_EQ(scrambled.size(), 255);
    EXPECT_EQ(ScrambleText(scrambled), input.left(255));
    for (int n : {1, 38, 80, 254})
        EXPECT_EQ(ScrambleText(scrambled.left(n)), input.left(n)) << n;
}

TEST(StoredPassword, EveryByteValueHasItsOwnCharacterApartFromTheMarkers)
{
    QByteArray everyByte;
    for (int b = 0; b < 256; ++b)
        everyByte.append(static_cast<char>(b));
    const QString stored = EncodeScrambled(everyByte);
    ASSERT_EQ(stored.size(), 256);
    for (QChar c : stored) {
        EXPECT_NE(c.unicode(), 0x00);
        EXPECT_NE(c.unicode(), 0x02);
        EXPECT_NE(c.unicode(), 0x03);
    }
    EXPECT_EQ(DecodeScrambled(stored), everyByte);
}

TEST(StoredPassword, TypedPasswordIsCutTo80BytesAtACharacterBoundary)
{
    const QString e = QStringLiteral("é"); // two bytes in UTF-8
    struct Case
    {
        QString typed;
        QString clear; // what the stored value unscrambles to
    } cases[] = {
        {QStringLiteral("0123456789").repeated(10), QStringLiteral("0123456789").repeated(8)},
        {QStringLiteral("x").repeated(80), QStringLiteral("x").repeated(80)},
        {e.repeated(50), e.repeated(40)},
        {QStringLiteral("a") + e.repeated(50), QStringLiteral("a") + e.repeated(39)},
        {QStringLiteral("pw\u20AC\U0001F511!"), QStringLiteral("pw\u20AC\U0001F511!")},
    };
    for (const Case& c : cases) {
        const QString stored = ScramblePassword(c.typed);
        EXPECT_LE(stored.size(), kMaxPasswordBytes);
        EXPECT_EQ(stored.size(), c.clear.toUtf8().size());
        EXPECT_EQ(UnscramblePassword(stored), c.clear);
    }
    EXPECT_TRUE(ScramblePassword(QString()).isEmpty());
}

} // namespace
} // namespace velmora
