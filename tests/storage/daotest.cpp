#include "daofixture.h"

#include "documents/documentmapping.h"

#include <QDateTime>
#include <QRegularExpression>

#include <functional>
#include <optional>

using namespace storagetest;

namespace {

const QString timeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");

class DaoQueueTest : public DaoFixture
{
protected:
    int lastMessageId() { return value(QStringLiteral("SELECT max(messageid) FROM messages")).toInt(); }
};

TEST_F(DaoQueueTest, EmptyQueue)
{
    LogCapture capture;
    EXPECT_EQ(dao()->getFirstMessage(), QJsonObject());
    const QString firstLog = capture.text();
    EXPECT_FALSE(firstLog.contains(QStringLiteral("ERROR"))) << firstLog.toStdString();

    EXPECT_EQ(dao()->getMessagesCount(), 0);
    // Read, and nothing there: not a failed read.
    EXPECT_EQ(dao()->readMessagesList(), QList<QJsonObject>());
    EXPECT_EQ(dao()->readHasMessage(1), false);
    EXPECT_EQ(dao()->readMessageById(1), QString());
    EXPECT_TRUE(dao()->deleteMessage(1));

    LogCapture timeCapture;
    EXPECT_FALSE(dao()->getFirstMessageTime().isValid());
    EXPECT_TRUE(
        QRegularExpression(QStringLiteral("ERROR .* dao - Не удалось получить информацию о дате и времени "
                                          "первого сообщения в очереди$"),
                           QRegularExpression::MultilineOption)
            .match(timeCapture.text())
            .hasMatch());
}

TEST_F(DaoQueueTest, MessagesComeBackOldestFirst)
{
    const QJsonObject first =
        json(R"({"command":1,"request":{"text":"Продажа 'молоко'; DROP TABLE messages;"}})");
    const QJsonObject second = json(R"({"command":2,"request":{"isOfflineFlag":true}})");
    ASSERT_TRUE(dao()->saveMessage(first));
    const int firstId = lastMessageId();
    ASSERT_TRUE(dao()->saveMessage(second));
    const int secondId = lastMessageId();
    ASSERT_LT(firstId, secondId);

    // Stored as compact JSON text, exactly.
    EXPECT_EQ(value(QStringLiteral("SELECT data FROM messages WHERE messageid = %1").arg(firstId)).toString(),
              QStringLiteral(R"({"command":1,"request":{"text":"Продажа 'молоко'; DROP TABLE messages;"}})"));

    EXPECT_EQ(dao()->getFirstMessage(),
              (QJsonObject{{QStringLiteral("messageid"), firstId}, {QStringLiteral("data"), first}}));
    EXPECT_EQ(dao()->getMessagesCount(), 2);
    EXPECT_TRUE(dao()->hasMessage(firstId));

    const QString storedTime =
        value(QStringLiteral("SELECT creationtime FROM messages WHERE messageid = %1").arg(firstId))
            .toString();
    ASSERT_TRUE(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$"))
                    .match(storedTime)
                    .hasMatch());
    const QList<QJsonObject> list = dao()->getMessagesList();
    ASSERT_EQ(list.size(), 2);
    EXPECT_EQ(list[0], (QJsonObject{{QStringLiteral("messageid"), firstId},
                                    {QStringLiteral("creationtime"), storedTime}}));
    EXPECT_EQ(list[1].value(QStringLiteral("messageid")).toInt(), secondId);

    // The stored text is local time without a zone.
    const QDateTime firstTime = dao()->getFirstMessageTime();
    EXPECT_EQ(firstTime, QDateTime::fromString(storedTime, timeFormat));
    EXPECT_EQ(firstTime.toString(timeFormat), storedTime);
    EXPECT_LE(qAbs(firstTime.secsTo(QDateTime::currentDateTime())), 120);

    EXPECT_TRUE(dao()->deleteMessage(firstId));
    EXPECT_FALSE(dao()->hasMessage(firstId));
    EXPECT_EQ(dao()->getFirstMessage().value(QStringLiteral("messageid")).toInt(), secondId);
    EXPECT_EQ(dao()->getMessagesCount(), 1);
}

TEST_F(DaoQueueTest, RowThatIsNoJsonObjectGivesEmptyData)
{
    for (const char* stored : {"garbage", "[1,2]", ""}) {
        SCOPED_TRACE(stored);
        ASSERT_TRUE(insert(QStringLiteral("DELETE FROM messages; INSERT INTO messages(data) VALUES('%1')")
                               .arg(QLatin1String(stored))));
        EXPECT_EQ(dao()->getFirstMessage(), (QJsonObject{{QStringLiteral("messageid"), lastMessageId()},
                                                         {QStringLiteral("data"), QJsonObject()}}));
    }
}

TEST_F(DaoQueueTest, MessageByIdDecodesUnicodeEscapes)
{
    const struct
    {
        QString stored;
        QString expected;
    } cases[] = {
        {QStringLiteral(R"({"text":"\u0410\u0431"})"), QStringLiteral(R"({"text":"Аб"})")},
        {QStringLiteral(R"(x\u00e9\u00E9y)"), QStringLiteral("xééy")},
        {QStringLiteral(R"(a\uZZZZb)"), QStringLiteral("a") + QChar(0) + QStringLiteral("b")},
        {QStringLiteral(R"(end\u)"), QStringLiteral("end") + QChar(0)},
        {QStringLiteral(R"(end\u4)"), QStringLiteral("end") + QChar(4)},
        // A decoded backslash forms a new escape with what follows.
        {QStringLiteral(R"(\u005cu0041)"), QStringLiteral("A")},
        {QStringLiteral(R"(\\n stays)"), QStringLiteral(R"(\\n stays)")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored.toStdString());
        QString quoted = c.stored;
        quoted.replace(QLatin1Char('\''), QStringLiteral("''"));
        ASSERT_TRUE(insert(QStringLiteral("INSERT INTO messages(data) VALUES('%1')").arg(quoted)));
        EXPECT_EQ(dao()->getMessageById(lastMessageId()), c.expected);
    }
}

class DaoServiceDataTest : public DaoFixture
{
};

TEST_F(DaoServiceDataTest, StatusKeepsOneRow)
{
    EXPECT_EQ(dao()->getServiceStatus(), 0);
    ASSERT_TRUE(dao()->setServiceStatus(2));
    EXPECT_EQ(dao()->getServiceStatus(), 2);
    ASSERT_TRUE(dao()->setServiceStatus(0));
    EXPECT_EQ(raw->rows(QStringLiteral("SELECT rowid, status FROM status")), (QList<QVariantList>{{1, 0}}));
    EXPECT_EQ(dao()->getServiceStatus(), 0);
}

TEST_F(DaoServiceDataTest, DocumentsByName)
{
    ASSERT_TRUE(dao()->saveServiceData(QStringLiteral("servicerequest"), json(R"({"a":1})")));
    ASSERT_TRUE(dao()->saveServiceData(QStringLiteral("servicerequest"), json(R"({"b":"два"})")));
    EXPECT_EQ(raw->rows(QStringLiteral("SELECT name, data FROM servicedata")),
              (QList<QVariantList>{{QStringLiteral("servicerequest"), QStringLiteral(R"({"b":"два"})")}}));
    EXPECT_EQ(dao()->getServiceData(QStringLiteral("servicerequest")), json(R"({"b":"два"})"));
    EXPECT_EQ(dao()->getServiceData(QStringLiteral("reportrequest")), QJsonObject());
    EXPECT_EQ(dao()->readServiceData(QStringLiteral("servicerequest")), json(R"({"b":"два"})"));
    // No row is a document read and found empty, not a failed read.
    EXPECT_EQ(dao()->readServiceData(QStringLiteral("reportrequest")), QJsonObject());

    // Names are values, never statement text.
    ASSERT_TRUE(dao()->saveServiceData(QStringLiteral("it's"), json(R"({"q":1})")));
    EXPECT_EQ(dao()->getServiceData(QStringLiteral("it's")), json(R"({"q":1})"));
    EXPECT_EQ(dao()->getServiceData(QStringLiteral("x' OR '1'='1")), QJsonObject());

    for (const char* stored : {"[1]", "not json", ""}) {
        SCOPED_TRACE(stored);
        ASSERT_TRUE(insert(QStringLiteral("INSERT INTO servicedata(name, data) VALUES('damaged', '%1')")
                               .arg(QLatin1String(stored))));
        EXPECT_EQ(dao()->getServiceData(QStringLiteral("damaged")), QJsonObject());
        EXPECT_EQ(dao()->readServiceData(QStringLiteral("damaged")), std::nullopt);
    }
}

// The Dao keeps what each record's text parsed to; a text changed by another
// program reads as that text, whatever was read before.
TEST_F(DaoServiceDataTest, RecordChangedByAnotherConnectionReadsAsItsNewText)
{
    const QString name = QStringLiteral("servicerequest");
    ASSERT_TRUE(dao()->saveServiceData(name, json(R"({"n":1})")));
    ASSERT_EQ(dao()->getServiceData(name), json(R"({"n":1})"));
    for (const char* text : {R"({"n":1.0})", R"({"n":2})", "not json", R"({"n":1})", R"({"n":-0.0})"}) {
        SCOPED_TRACE(text);
        ASSERT_TRUE(insert(QStringLiteral("UPDATE servicedata SET data='%1' WHERE name='servicerequest'")
                               .arg(QLatin1String(text))));
        const QJsonDocument expected = QJsonDocument::fromJson(text);
        const std::optional<QJsonObject> read = dao()->readServiceData(name);
        if (!expected.isObject()) {
            EXPECT_EQ(read, std::nullopt);
            continue;
        }
        ASSERT_TRUE(read);
        EXPECT_TRUE(taxvault::mapping::identical(*read, expected.object()));
    }
}

// The Dao keeps the text of the document last saved under each name; a
// document that differs from it in any value is written as itself.
TEST_F(DaoServiceDataTest, EachSavedDocumentIsStoredAsItsOwnText)
{
    const char* documents[] = {
        R"({"n":9223372036854775807,"t":"a"})", R"({"n":9223372036854775807,"t":"a"})",
        R"({"n":9223372036854775808,"t":"a"})", R"({"n":9223372036854775807,"t":"a"})",
        R"({"n":1,"t":"a"})",                   R"({"n":1,"t":"b"})",
        R"({"n":1,"t":"b","u":null})",          R"({})",
        R"({"n":1,"t":"b"})",
    };
    for (const char* document : documents) {
        SCOPED_TRACE(document);
        const QJsonObject saved = json(document);
        ASSERT_TRUE(dao()->saveServiceData(QStringLiteral("servicerequest"), saved));
        EXPECT_EQ(
            value(QStringLiteral("SELECT data FROM servicedata WHERE name='servicerequest'")).toString(),
            QString::fromUtf8(QJsonDocument(saved).toJson(QJsonDocument::Compact)));
    }
}

// The memos keep small records only: one large record read and saved must not
// stay in memory after it, while a small one is still kept.
TEST_F(DaoServiceDataTest, LargeRecordIsNotKeptByTheMemos)
{
    const QString name = QStringLiteral("ticketrequest");
    const QJsonObject small = json(R"({"n":1})");
    ASSERT_TRUE(dao()->saveServiceData(name, small));
    ASSERT_EQ(dao()->getServiceData(name), small);
    const qsizetype kept = dao()->keptRecordBytes();
    EXPECT_GT(kept, 0);

    const QJsonObject large{{QStringLiteral("text"), QString(2 * 1024 * 1024, u'x')}};
    ASSERT_TRUE(dao()->saveServiceData(name, large));
    ASSERT_EQ(dao()->getServiceData(name), large);
    EXPECT_LE(dao()->keptRecordBytes(), kept) << "nothing of the large record is kept";

    ASSERT_TRUE(dao()->saveServiceData(name, small));
    ASSERT_EQ(dao()->getServiceData(name), small);
    EXPECT_EQ(dao()->keptRecordBytes(), kept);
}

TEST_F(DaoServiceDataTest, RowsAreChangedInPlaceAndTheSameValueWritesNothing)
{
    const auto rowid = [this] {
        return value(QStringLiteral("SELECT rowid FROM servicedata WHERE name='servicerequest'"))
            .toLongLong();
    };
    // Moves when another connection commits a change to the file.
    const auto version = [this] { return value(QStringLiteral("PRAGMA data_version")).toLongLong(); };
    ASSERT_TRUE(dao()->saveServiceData(QStringLiteral("servicerequest"), json(R"({"a":1})")));
    ASSERT_TRUE(dao()->saveServiceData(QStringLiteral("lastrequesttime"), json(R"({"b":1})")));
    ASSERT_TRUE(dao()->setServiceStatus(1));
    const qint64 row = rowid();

    struct Step
    {
        const char* name;
        std::function<bool()> write;
        bool changes;
    };
    const Step steps[] = {
        {"new text",
         [] { return dao()->saveServiceData(QStringLiteral("servicerequest"), json(R"({"a":2})")); }, true},
        {"same text",
         [] { return dao()->saveServiceData(QStringLiteral("servicerequest"), json(R"({"a":2})")); }, false},
        {"same status", [] { return dao()->setServiceStatus(1); }, false},
        {"new status", [] { return dao()->setServiceStatus(0); }, true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        const qint64 before = version();
        ASSERT_TRUE(step.write());
        EXPECT_EQ(version() != before, step.changes);
    }
    EXPECT_EQ(rowid(), row);
    EXPECT_EQ(raw->rows(QStringLiteral("SELECT name, data FROM servicedata ORDER BY name")),
              (QList<QVariantList>{{QStringLiteral("lastrequesttime"), QStringLiteral(R"({"b":1})")},
                                   {QStringLiteral("servicerequest"), QStringLiteral(R"({"a":2})")}}));
    EXPECT_EQ(raw->rows(QStringLiteral("SELECT rowid, status FROM status")), (QList<QVariantList>{{1, 0}}));
}

TEST_F(DaoServiceDataTest, TransportDataIsLoggedWithItsDocument)
{
    LogCapture capture;
    ASSERT_TRUE(
        dao()->saveServiceData(QStringLiteral("transportdata"), json(R"({"token":5,"packageNumber":3})")));
    ASSERT_TRUE(dao()->saveServiceData(QStringLiteral("Transportdata"), json(R"({"token":6})")));
    const QString log = capture.text();
    EXPECT_TRUE(log.contains(QStringLiteral("INFO  ")));
    EXPECT_TRUE(log.contains(QStringLiteral(R"(dao - Данные: {"packageNumber":3,"token":5})"
                                            "\n")));
    EXPECT_FALSE(log.contains(QStringLiteral(R"(Данные: {"token":6})")));
    EXPECT_EQ(log.count(QStringLiteral("dao - Операция выполнена")), 2);
}

TEST_F(DaoServiceDataTest, TokenOperations)
{
    const struct
    {
        const char* name;
        std::optional<QString> stored;
        std::function<bool()> operation;
        bool result;
        std::optional<QString> after;
    } cases[] = {
        {"reset without a record", std::nullopt, [] { return dao()->resetToken(); }, false, std::nullopt},
        {"reset without a token", QStringLiteral(R"({"packageNumber":3})"),
         [] { return dao()->resetToken(); }, false, QStringLiteral(R"({"packageNumber":3})")},
        {"reset keeps the package number", QStringLiteral(R"({"packageNumber":3,"token":5})"),
         [] { return dao()->resetToken(); }, true, QStringLiteral(R"({"packageNumber":3})")},
        {"set without a record", std::nullopt, [] { return dao()->setToken(42); }, true,
         QStringLiteral(R"({"token":42})")},
        {"set keeps other keys", QStringLiteral(R"({"packageNumber":3,"token":5})"),
         [] { return dao()->setToken(-7); }, true, QStringLiteral(R"({"packageNumber":3,"token":-7})")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(insert(QStringLiteral("DELETE FROM servicedata")));
        if (c.stored) {
            ASSERT_TRUE(
                insert(QStringLiteral("INSERT INTO servicedata(name, data) VALUES('transportdata', '%1')")
                           .arg(*c.stored)));
        }
        EXPECT_EQ(c.operation(), c.result);
        const QVariant after =
            value(QStringLiteral("SELECT data FROM servicedata WHERE name = 'transportdata'"));
        EXPECT_EQ(after.isValid() ? std::optional<QString>(after.toString()) : std::nullopt, c.after);
    }
}

TEST_F(DaoServiceDataTest, ReadableTablesAreAccessible)
{
    EXPECT_TRUE(dao()->isServiceDataAccessible());
    EXPECT_TRUE(dao()->isMessageQueueAccessible());
}

// Statements are prepared once and run again; none of that may show.
class DaoStatementReuseTest : public DaoFixture
{
};

TEST_F(DaoStatementReuseTest, StatementRunAgainWhileItsRowsAreReadLeavesThemWhole)
{
    for (int shift : {1, 2, 3}) {
        ASSERT_TRUE(insert(QStringLiteral("INSERT INTO fiscalmemory(creationtime, shiftnum, data) "
                                          "VALUES('2024-03-01 10:00:0%1', %1, '{}')")
                               .arg(shift)));
    }
    const QDate day(2024, 3, 1);
    QList<int> outer;
    QList<int> inner;
    EXPECT_TRUE(dao()->readFiscalMemoryTexts(day, [&](const QDateTime&, int shiftNumber, QByteArrayView) {
        outer.append(shiftNumber);
        // The same statement, while the outer rows are still being read.
        for (const auto& record : dao()->getFiscalMemory(day))
            inner.append(int(record.shiftNumber()));
    }));
    EXPECT_EQ(outer, QList<int>({1, 2, 3}));
    EXPECT_EQ(inner, QList<int>({1, 2, 3, 1, 2, 3, 1, 2, 3}));
    // And once more after both were given back.
    EXPECT_EQ(dao()->getFiscalMemory(day).size(), 3);
}

TEST_F(DaoStatementReuseTest, TableGoneUnderAPreparedStatementFailsAsANewStatementWould)
{
    ASSERT_TRUE(insert(QStringLiteral("INSERT INTO servicedata(name, data) VALUES('kkminfo', '{\"a\":1}')")));
    EXPECT_EQ(dao()->readServiceData(QStringLiteral("kkminfo")), json(R"({"a":1})"));

    ASSERT_TRUE(insert(QStringLiteral("ALTER TABLE servicedata RENAME TO servicedata_away")));
    for (int attempt = 0; attempt < 2; ++attempt) {
        SCOPED_TRACE(attempt);
        LogCapture capture;
        EXPECT_EQ(dao()->readServiceData(QStringLiteral("kkminfo")), std::nullopt);
        const QString log = capture.text();
        EXPECT_TRUE(log.contains(QStringLiteral("no such table: servicedata Unable to prepare statement")))
            << log.toStdString();
    }
    ASSERT_TRUE(insert(QStringLiteral("ALTER TABLE servicedata_away RENAME TO servicedata")));
    EXPECT_EQ(dao()->readServiceData(QStringLiteral("kkminfo")), json(R"({"a":1})"));

    // A statement kept across a closed connection is prepared on the new one.
    dao()->close();
    EXPECT_EQ(dao()->readServiceData(QStringLiteral("kkminfo")), json(R"({"a":1})"));
    EXPECT_TRUE(dao()->saveServiceData(QStringLiteral("kkminfo"), json(R"({"b":2})")));
    EXPECT_EQ(dao()->readServiceData(QStringLiteral("kkminfo")), json(R"({"b":2})"));
}

} // namespace
