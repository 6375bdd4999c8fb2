#include "daofixture.h"

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

} // namespace
