#include "daofixture.h"

#include "sqlcipher/sqlcipherresult.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace {

// SQLite stops reading a statement text at a NUL character; the driver must
// neither wait there for ever nor pass over what follows.
TEST_F(DaoFixture, StatementTextWithANulCharacterIsRefused)
{
    ASSERT_TRUE(insert(QStringLiteral("INSERT INTO messages(data) VALUES('{}')")));
    // The Dao's own connection, opened and keyed.
    ASSERT_EQ(dao()->getMessagesCount(), 1);
    ASSERT_TRUE(QSqlQuery(QSqlDatabase::database()).exec(QStringLiteral("SELECT 1")));
    const QChar nul(0);
    const QString texts[] = {
        QStringLiteral("SELECT 1") + nul,
        nul + QStringLiteral("SELECT 1"),
        QStringLiteral("SELECT 1;") + nul + QStringLiteral("DELETE FROM messages"),
        QStringLiteral("SELECT 1;   ") + nul,
    };
    for (const QString& text : texts) {
        SCOPED_TRACE(QString(text).replace(nul, QStringLiteral("<NUL>")).toStdString());
        QSqlQuery plain(QSqlDatabase::database());
        EXPECT_FALSE(plain.exec(text));
        EXPECT_FALSE(plain.lastError().text().isEmpty());

        QSqlQuery prepared(QSqlDatabase::database());
        EXPECT_FALSE(prepared.prepare(text) && prepared.exec());
    }
    EXPECT_EQ(value(QStringLiteral("SELECT count(*) FROM messages")).toInt(), 1);
}

// Rows are kept as SQLite gives them and become values only when read: each
// reads as the value of its own SQLite type, and only a text also as its bytes.
TEST_F(DaoFixture, ValuesReadAsTheirSQLiteTypeAndTextsAlsoAsTheirBytes)
{
    ASSERT_EQ(dao()->getMessagesCount(), 0); // the Dao's own connection, opened and keyed
    struct Expected
    {
        QVariant value;
        std::optional<QByteArray> bytes;
    };
    const QByteArray cyrillic = QStringLiteral("Смена").toUtf8();
    const QByteArray withNul("a\0b", 3);
    const QList<Expected> expected = {
        {QVariant(qlonglong(-9000000000)), std::nullopt},
        {QVariant(830.5), std::nullopt},
        {QVariant(QString::fromUtf8(cyrillic)), cyrillic},
        {QVariant(QString::fromUtf8(withNul)), withNul},
        {QVariant(QString::fromUtf8("")), QByteArray("")},
        {QVariant(QByteArray("\x01\xff", 2)), std::nullopt},
        {QVariant(), std::nullopt},
    };
    QSqlQuery query(QSqlDatabase::database());
    query.setForwardOnly(true);
    ASSERT_TRUE(query.exec(QStringLiteral("SELECT -9000000000, 830.5, 'Смена', CAST(x'610062' AS TEXT), '', "
                                          "x'01ff', NULL UNION ALL SELECT 1, 2, 'x', 'y', 'z', x'00', NULL")))
        << query.lastError().text().toStdString();
    // Nothing is there before the first row.
    EXPECT_FALSE(SqlCipherResult::text(query, 2));
    ASSERT_TRUE(query.next());
    for (int column = 0; column < expected.size(); ++column) {
        SCOPED_TRACE(column);
        const QVariant value = query.value(column);
        EXPECT_EQ(value.typeId(), expected[column].value.typeId());
        EXPECT_EQ(value, expected[column].value);
        EXPECT_EQ(value.isNull(), expected[column].value.isNull());
        const std::optional<QByteArrayView> bytes = SqlCipherResult::text(query, column);
        ASSERT_EQ(bytes.has_value(), expected[column].bytes.has_value());
        if (bytes)
            EXPECT_EQ(bytes->toByteArray(), *expected[column].bytes);
    }
    // Asked again, a value reads the same.
    EXPECT_EQ(query.value(2), expected[2].value);
    EXPECT_FALSE(SqlCipherResult::text(query, expected.size()));
    ASSERT_TRUE(query.next());
    EXPECT_EQ(SqlCipherResult::text(query, 4)->toByteArray(), QByteArray("z"));
    EXPECT_EQ(query.value(5), QVariant(QByteArray(1, '\0')));
    EXPECT_FALSE(query.next());
    EXPECT_FALSE(SqlCipherResult::text(query, 2));
}

} // namespace
