// The link to the operator's server on its own, without a database, against a
// scripted server on the loopback address.

#include "scriptedoperator.h"

#include "protocol/serviceexception.h"
#include "service/operatorlink.h"

#include "korvan/config.h"
#include "korvan/singleton.h"

#include <gtest/gtest.h>

#include <string>

namespace taxvault::testing {
namespace {

Config* config()
{
    return Singleton<Config>::instance();
}

int configInt(const char* key)
{
    return config()->getInt(QString::fromLatin1(key), 0);
}

class OperatorLinkTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        config()->setValue(QStringLiteral("Connection:host"), QStringLiteral("127.0.0.1"));
        config()->setValue(QStringLiteral("Connection:connectionTimeout"), 1000);
        config()->setValue(QStringLiteral("Connection:writeTimeout"), 1000);
        config()->setValue(QStringLiteral("Connection:readTimeout"), 1500);
        config()->setValue(QStringLiteral("DataSending:operationTimeout"), 4000);
        config()->setValue(QStringLiteral("KKM:deviceId"), 5);
        config()->setValue(QStringLiteral("KKM:token"), 77);
        config()->setValue(QStringLiteral("KKM:packageNumber"), 7);
    }

    static ofd::proto::Request request()
    {
        ofd::proto::Request request;
        request.set_command(ofd::proto::COMMAND_SYSTEM);
        request.mutable_service()->set_get_reg_info(true);
        return request;
    }

    static ofd::proto::Response accepted()
    {
        ofd::proto::Response response;
        response.set_command(ofd::proto::COMMAND_SYSTEM);
        response.mutable_result()->set_result_code(0);
        return response;
    }
};

TEST_F(OperatorLinkTest, ReadsTheAnswerToTheLengthItsHeaderAnnounces)
{
    const QByteArray whole = replyFrame(accepted(), 0x1234U);
    struct Case
    {
        const char* name;
        QList<Step> steps;
        int attempts;
    };
    const Case cases[] = {
        {"whole answer", {{{whole}}}, 1},
        {"answer in pieces", {{{whole.left(5), whole.mid(5, 16), whole.mid(21)}, 100}}, 1},
        // Closed one byte short: no answer, and the next attempt is made.
        {"short read", {{{whole.left(whole.size() - 1)}}, {{whole}}}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        ScriptedOperator server(c.steps);
        config()->setValue(QStringLiteral("Connection:port"), server.port());
        OperatorLink link;
        std::string payload;
        request().SerializePartialToString(&payload);
        const QByteArray sent = link.buildPacket(QByteArray::fromStdString(payload));

        const ofd::proto::Response answer = link.exchange(request());

        EXPECT_EQ(answer.result().result_code(), 0u);
        const QList<QByteArray> frames = server.frames();
        ASSERT_EQ(frames.size(), c.attempts);
        // Every attempt sends the same frame: the token moves only with an answer.
        for (const QByteArray& frame : frames)
            EXPECT_EQ(frame.toHex(' '), sent.toHex(' '));
        EXPECT_EQ(configInt("KKM:token"), 0x1234);
        EXPECT_EQ(configInt("KKM:packageNumber"), 8);
    }
}

TEST_F(OperatorLinkTest, GivesUpWithinTheBudgetWithoutMovingTheToken)
{
    QByteArray oversized = hex("A2 81 CB 00");
    oversized += QByteArray::fromHex("01000001"); // 16 MiB and one byte announced
    oversized += QByteArray(10, '\0');
    struct Case
    {
        const char* name;
        Step step;
    };
    const Case cases[] = {
        {"read timeout", {{}, 0, false}},
        {"answer announced past the bound", {{oversized}, 0, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        config()->setValue(QStringLiteral("Connection:readTimeout"), 200);
        config()->setValue(QStringLiteral("DataSending:operationTimeout"), 300);
        ScriptedOperator server({c.step, c.step, c.step});
        config()->setValue(QStringLiteral("Connection:port"), server.port());
        OperatorLink link;

        try {
            link.exchange(request());
            ADD_FAILURE() << "the exchange must give up";
        } catch (const ServiceException& e) {
            EXPECT_EQ(e.tr().ru(), QStringLiteral("Нет связи с сервером ОФД"));
        }
        EXPECT_FALSE(server.frames().isEmpty());
        EXPECT_EQ(configInt("KKM:token"), 77);
        EXPECT_EQ(configInt("KKM:packageNumber"), 7);
    }
}

} // namespace
} // namespace taxvault::testing
