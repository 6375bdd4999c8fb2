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

// A row reads the same whether the query kept it or handed it to a visitor as
// it was read: each value as the value of its SQLite type; a visitor also sees
// a text, and only a text, as its bytes.
TEST_F(DaoFixture, RowsReadTheSameKeptOrVisited)
{
    ASSERT_EQ(dao()->getMessagesCount(), 0); // the Dao's own connection, opened and keyed
    const QByteArray cyrillic = QStringLiteral("Смена").toUtf8();
    const QByteArray withNul("a\0b", 3);
    struct Expected
    {
        QVariant value;
        std::optional<QByteArray> bytes;
    };
    const QList<QList<Expected>> expected = {
        {{QVariant(qlonglong(-9000000000)), std::nullopt},
         {QVariant(830.5), std::nullopt},
         {QVariant(QString::fromUtf8(cyrillic)), cyrillic},
         {QVariant(QString::fromUtf8(withNul)), withNul},
         {QVariant(QString::fromUtf8("")), QByteArray("")},
         {QVariant(QByteArray("\x01\xff", 2)), std::nullopt},
         {QVariant(), std::nullopt}},
        {{QVariant(qlonglong(1)), std::nullopt},
         {QVariant(2.0), std::nullopt},
         {QVariant(QStringLiteral("x")), QByteArray("x")},
         {QVariant(QStringLiteral("y")), QByteArray("y")},
         {QVariant(QStringLiteral("z")), QByteArray("z")},
         {QVariant(QByteArray(1, '\0')), std::nullopt},
         {QVariant(), std::nullopt}},
    };
    const QString statement =
        QStringLiteral("SELECT -9000000000, 830.5, 'Смена', CAST(x'610062' AS TEXT), '', x'01ff', NULL "
                       "UNION ALL SELECT 1, 2.0, 'x', 'y', 'z', x'00', NULL");
    // text, when given, reads the bytes of a column.
    const auto expectRow = [&](int row, const auto& value, const auto* text) {
        SCOPED_TRACE(row);
        ASSERT_LT(row, expected.size());
        for (int column = 0; column < expected[row].size(); ++column) {
            SCOPED_TRACE(column);
            const Expected& e = expected[row][column];
            const QVariant read = value(column);
            EXPECT_EQ(read.typeId(), e.value.typeId());
            EXPECT_EQ(read, e.value);
            EXPECT_EQ(read.isNull(), e.value.isNull());
            if (!text)
                continue;
            const std::optional<QByteArrayView> bytes = (*text)(column);
            ASSERT_EQ(bytes.has_value(), e.bytes.has_value());
            if (bytes)
                EXPECT_EQ(bytes->toByteArray(), *e.bytes);
        }
        EXPECT_FALSE(value(int(expected[row].size())).isValid());
    };

    const std::function<std::optional<QByteArrayView>(int)>* kNoText = nullptr;
    QSqlQuery kept(QSqlDatabase::database());
    kept.setForwardOnly(true);
    ASSERT_TRUE(kept.exec(statement)) << kept.lastError().text().toStdString();
    int rows = 0;
    for (; kept.next(); ++rows) {
        expectRow(
            rows, [&](int column) { return kept.value(column); }, kNoText);
        // Asked again, a value reads the same.
        EXPECT_EQ(kept.value(2), expected[rows][2].value);
    }
    EXPECT_EQ(rows, expected.size());

    const auto cacheSize = [] {
        QSqlQuery pragma(QSqlDatabase::database());
        return pragma.exec(QStringLiteral("PRAGMA cache_size")) && pragma.next() ? pragma.value(0)
                                                                                 : QVariant();
    };
    const QVariant cacheBefore = cacheSize();
    ASSERT_TRUE(cacheBefore.isValid());

    QSqlQuery visited(QSqlDatabase::database());
    ASSERT_TRUE(visited.prepare(statement));
    rows = 0;
    EXPECT_TRUE(SqlCipherResult::execVisiting(visited, [&](const SqlCipherRow& row) {
        const auto text = [&](int column) { return row.text(column); };
        expectRow(
            rows++, [&](int column) { return row.value(column); }, &text);
    }));
    EXPECT_EQ(rows, expected.size());
    EXPECT_FALSE(visited.next()); // nothing kept
    // The connection reads as before once the rows are through.
    EXPECT_EQ(cacheSize(), cacheBefore);

    // A step that fails after the first row: that row was seen, the query failed.
    ASSERT_TRUE(visited.prepare(QStringLiteral("SELECT CASE WHEN x = 2 THEN abs(-9223372036854775807 - 1) "
                                               "ELSE x END FROM (SELECT 1 AS x UNION ALL SELECT 2)")));
    QList<qlonglong> seen;
    EXPECT_FALSE(SqlCipherResult::execVisiting(
        visited, [&](const SqlCipherRow& row) { seen.append(row.value(0).toLongLong()); }));
    EXPECT_EQ(seen, QList<qlonglong>{1});
    EXPECT_TRUE(visited.lastError().isValid());
}

} // namespace
