// The operator frame and the exchange with the operator's server, against a
// scripted server on the loopback address.

#include "scriptedoperator.h"
#include "servicetestsupport.h"

#include "protocol/serviceexception.h"

#include "korvan/config.h"
#include "korvan/singleton.h"

#include <QElapsedTimer>

namespace taxvault::testing {
namespace {

int configInt(const char* key)
{
    return Singleton<Config>::instance()->getInt(QString::fromLatin1(key), 0);
}

class SenderExchange : public ServiceDbTest
{
protected:
    void SetUp() override
    {
        ServiceDbTest::SetUp();
        setConfig(QStringLiteral("Connection:host"), QStringLiteral("127.0.0.1"));
        setConfig(QStringLiteral("Connection:connectionTimeout"), 1000);
        setConfig(QStringLiteral("Connection:writeTimeout"), 1000);
        setConfig(QStringLiteral("Connection:readTimeout"), 1500);
        setConfig(QStringLiteral("DataSending:operationTimeout"), 4000);
        setConfig(QStringLiteral("KKM:token"), 77);
        setConfig(QStringLiteral("KKM:packageNumber"), 7);
    }

    static ofd::proto::Request request()
    {
        ofd::proto::Request request;
        request.set_command(ofd::proto::COMMAND_SYSTEM);
        request.mutable_service()->set_get_reg_info(true);
        return request;
    }
};

TEST_F(SenderExchange, FrameHeaderCarriesConfiguredFields)
{
    struct Case
    {
        const char* name;
        QVariant deviceId, token, packageNumber;
        int payloadSize;
        const char* header;
    };
    const Case cases[] = {
        {"plain", 5, QVariant(), 7, 10, "A2 81 CB 00 1C 00 00 00 05 00 00 00 00 00 00 00 07 00"},
        {"negative device id", -1, 1, 0, 0, "A2 81 CB 00 12 00 00 00 FF FF FF FF 01 00 00 00 00 00"},
        {"token with highest bit", 0, QVariant::fromValue<qulonglong>(0x80000001ULL), 255, 1,
         "A2 81 CB 00 13 00 00 00 00 00 00 00 01 00 00 80 FF 00"},
        {"package number past 255 wraps", 0, 0, 256, 2,
         "A2 81 CB 00 14 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ServiceDbTest::SetUp();
        if (c.deviceId.isValid())
            setConfig(QStringLiteral("KKM:deviceId"), c.deviceId);
        if (c.token.isValid())
            setConfig(QStringLiteral("KKM:token"), c.token);
        if (c.packageNumber.isValid())
            setConfig(QStringLiteral("KKM:packageNumber"), c.packageNumber);
        const QByteArray payload(c.payloadSize, '\x5A');

        const QByteArray frame = ScriptedSender().buildPacket(payload);

        EXPECT_EQ(frame.left(18).toHex(' '), hex(c.header).toHex(' '));
        EXPECT_EQ(frame.mid(18), payload);
    }
}

TEST_F(SenderExchange, AcceptsOnlyCompleteAnswersWithVerdict)
{
    ofd::proto::Response withoutResult;
    withoutResult.set_command(ofd::proto::COMMAND_SYSTEM);
    const QByteArray good = replyFrame(answer(0, QStringLiteral("принято")), 0x80000001U);
    const QByteArray other = replyFrame(answer(0), 0x1234U);

    struct Case
    {
        const char* name;
        QList<Step> steps;
        int attempts;
        int token; // accepted reply's token as the configuration hands it back
    };
    const Case cases[] = {
        {"whole reply", {{{good}}}, 1, int(0x80000001U)},
        // TCP may deliver a reply in pieces; the first piece is no answer.
        {"reply in two writes", {{{good.left(21), good.mid(21)}, 300}}, 1, int(0x80000001U)},
        {"reply shorter than a header", {{{good.left(10)}}, {{good}}}, 2, int(0x80000001U)},
        {"header announcing more than arrives",
         {{{replyFrame(answer(0), 0x1234U, 40)}}, {{good}}},
         2,
         int(0x80000001U)},
        // A missing verdict must never count as success.
        {"answer without result", {{{replyFrame(withoutResult, 0x1234U)}}, {{good}}}, 2, int(0x80000001U)},
        {"header only", {{{good.left(18)}}, {{good}}}, 2, int(0x80000001U)},
        {"server temporarily unavailable", {{{replyFrame(answer(254), 0x1234U)}}, {{other}}}, 2, 0x1234},
        {"unknown error", {{{replyFrame(answer(255), 0x1234U)}}, {{good}}}, 2, int(0x80000001U)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        ScriptedOperator server(c.steps);
        setConfig(QStringLiteral("Connection:port"), server.port());
        ScriptedSender sender;
        const QByteArray expectedFrame = sender.buildPacket(QByteArray()).left(18);

        QElapsedTimer clock;
        clock.start();
        ofd::proto::Response accepted;
        ASSERT_NO_THROW(accepted = sender.exchange(request()));
        const qint64 elapsed = clock.elapsed();

        EXPECT_EQ(accepted.result().result_code(), 0u);
        const QList<QByteArray> frames = server.frames();
        ASSERT_EQ(frames.size(), c.attempts);
        // A repeated attempt sends the same token and package number again.
        for (const QByteArray& frame : frames)
            EXPECT_EQ(frame.mid(8, 10).toHex(' '), expectedFrame.mid(8, 10).toHex(' '));
        if (c.attempts > 1) {
            // A quick attempt that brought no usable answer is followed by the pause.
            EXPECT_GE(elapsed, 500);
            EXPECT_LT(elapsed, 1000);
        }
        EXPECT_EQ(configInt("KKM:token"), c.token);
        EXPECT_EQ(configInt("KKM:packageNumber"), 8);
        // Stored by the caller, with the rest of what the answer brings.
        EXPECT_TRUE(record(QStringLiteral("transportdata")).isEmpty());
        sender.saveTransportData();
        EXPECT_EQ(record(QStringLiteral("transportdata")),
                  (QJsonObject{{QStringLiteral("token"), c.token}, {QStringLiteral("packageNumber"), 8}}));
    }
}

TEST_F(SenderExchange, LateAnswerToFailedAttemptIsNeverTakenForTheNextOne)
{
    setConfig(QStringLiteral("Connection:readTimeout"), 300);
    Step late{{replyFrame(answer(15), 0xAAAAU)}, 600, false};
    Step prompt{{replyFrame(answer(0), 0xBBBBU)}};
    ScriptedOperator server({late, prompt});
    setConfig(QStringLiteral("Connection:port"), server.port());

    const ofd::proto::Response accepted = ScriptedSender().exchange(request());

    EXPECT_EQ(accepted.result().result_code(), 0u);
    EXPECT_EQ(configInt("KKM:token"), 0xBBBB);
    EXPECT_EQ(server.frames().size(), 2);
}

TEST_F(SenderExchange, SpentBudgetLeavesTransportStateUntouched)
{
    struct Case
    {
        const char* name;
        int operationTimeout;
        bool serverAnswers;
    };
    const Case cases[] = {
        {"no budget at all", 0, true},
        {"silent server", 300, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        setConfig(QStringLiteral("Connection:readTimeout"), 200);
        setConfig(QStringLiteral("DataSending:operationTimeout"), c.operationTimeout);
        QList<Step> steps;
        for (int i = 0; i < 4; ++i)
            steps.append(c.serverAnswers ? Step{{replyFrame(answer(0), 1)}} : Step{{}, 0, false});
        ScriptedOperator server(steps);
        setConfig(QStringLiteral("Connection:port"), server.port());

        try {
            ScriptedSender().exchange(request());
            ADD_FAILURE() << "the exchange must give up";
        } catch (const ServiceException& e) {
            EXPECT_EQ(e.tr().ru(), QStringLiteral("Нет связи с сервером ОФД"));
        }
        if (c.operationTimeout <= 0) {
            EXPECT_TRUE(server.frames().isEmpty());
        }
        EXPECT_EQ(configInt("KKM:token"), 77);
        EXPECT_EQ(configInt("KKM:packageNumber"), 7);
        EXPECT_TRUE(record(QStringLiteral("transportdata")).isEmpty());
    }
}

} // namespace
} // namespace taxvault::testing
