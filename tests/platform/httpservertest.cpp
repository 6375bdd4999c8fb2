#include "korvannetwork/httpserver.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTcpServer>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace {

struct Reply
{
    int status = 0;
    QHash<QByteArray, QByteArray> fields; // names in lower case
    QByteArray body;
};

// A blocking client on a plain socket, run on its own thread while the test's
// thread runs the server's event loop: it sees exactly the bytes on the wire.
class RawClient
{
public:
    explicit RawClient(quint16 port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~RawClient()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    bool isConnected() const { return m_fd >= 0; }
    qsizetype buffered() const { return m_buffer.size(); }

    // Tells the server that no more requests follow; the replies can still be read.
    bool shutdownWrite() { return m_fd >= 0 && ::shutdown(m_fd, SHUT_WR) == 0; }

    bool send(const QByteArray& bytes)
    {
        qsizetype sent = 0;
        while (m_fd >= 0 && sent < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.constData() + sent, static_cast<size_t>(bytes.size() - sent),
                                     MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += n;
        }
        return m_fd >= 0;
    }

    // The next response on the stream, interim ones included.
    std::optional<Reply> readResponse(int timeoutMsec = 5000)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMsec);
        qsizetype end;
        while ((end = m_buffer.indexOf("\r\n\r\n")) < 0) {
            if (!fill(deadline))
                return std::nullopt;
        }
        const QList<QByteArray> lines = m_buffer.left(end).split('\n');
        m_buffer.remove(0, end + 4);
        Reply reply;
        const QList<QByteArray> statusLine = lines.first().trimmed().split(' ');
        if (statusLine.size() < 2 || !statusLine.first().startsWith("HTTP/1."))
            return std::nullopt;
        reply.status = statusLine.at(1).toInt();
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines.at(i).indexOf(':');
            if (colon > 0)
                reply.fields.insert(lines.at(i).left(colon).trimmed().toLower(),
                                    lines.at(i).mid(colon + 1).trimmed());
        }
        if (reply.status < 200)
            return reply;
        const qsizetype length = reply.fields.value("content-length", "0").toLongLong();
        while (m_buffer.size() < length) {
            if (!fill(deadline))
                return std::nullopt;
        }
        reply.body = m_buffer.left(length);
        m_buffer.remove(0, length);
        return reply;
    }

    // Takes at most this many bytes off the socket into the buffer; false at the end of the stream.
    bool readSome(qsizetype bytes, int timeoutMsec = 5000)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMsec);
        const qsizetype target = m_buffer.size() + bytes;
        while (m_buffer.size() < target) {
            if (!fill(deadline, target - m_buffer.size()))
                return false;
        }
        return true;
    }

    // True when the server ends the stream within the time.
    bool closedByPeer(int timeoutMsec)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMsec);
        while (fill(deadline)) {
        }
        return m_eof;
    }

private:
    bool fill(std::chrono::steady_clock::time_point deadline, qsizetype most = 65536)
    {
        if (m_eof || m_fd < 0)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd entry{m_fd, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char chunk[65536];
        const ssize_t n =
            ::recv(m_fd, chunk, static_cast<size_t>(std::min<qsizetype>(most, sizeof(chunk))), 0);
        if (n <= 0) {
            m_eof = true;
            return false;
        }
        m_buffer.append(chunk, n);
        return true;
    }

    int m_fd = -1;
    QByteArray m_buffer;
    bool m_eof = false;
};

struct Step
{
    QByteArray bytes;
    int awaitReplies = 0;       // final replies to read before sending
    bool awaitContinue = false; // read a 100 Continue before sending
};

struct Outcome
{
    bool connected = false;
    QList<int> interim;
    QList<Reply> replies;
    bool closed = false;
};

Outcome talk(RawClient& client, const QList<Step>& steps, int expectedReplies)
{
    Outcome outcome;
    outcome.connected = client.isConnected();
    auto readOne = [&]() {
        const std::optional<Reply> reply = client.readResponse();
        if (!reply)
            return false;
        if (reply->status < 200)
            outcome.interim.append(reply->status);
        else
            outcome.replies.append(*reply);
        return true;
    };
    for (const Step& step : steps) {
        while (step.awaitContinue && !outcome.interim.contains(100) && readOne()) {
        }
        while (outcome.replies.size() < step.awaitReplies && readOne()) {
        }
        if (!client.send(step.bytes))
            break;
    }
    while (outcome.replies.size() < expectedReplies && readOne()) {
    }
    outcome.closed = client.closedByPeer(300);
    return outcome;
}

// Runs work on a client thread while this thread serves events.
template <typename Work> auto whileServing(Work work) -> decltype(work())
{
    QEventLoop loop;
    auto future = std::async(std::launch::async, [&] {
        auto result = work();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        return result;
    });
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
    return future.get();
}

QByteArray echoOf(const QByteArray& method, const QByteArray& path, const QByteArray& content)
{
    return method + ' ' + path + '\n' + content;
}

class HttpServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.isListening());
        QObject::connect(
            &server, &HttpServer::requestReceived, &server,
            [this](const RequestHeader& header, const QByteArray& content) { handler(header, content); });
    }

    void reply(const QByteArray& body)
    {
        ResponseHeader header;
        header.setStatusLine(200, QStringLiteral("OK"), 1, 1);
        header.setContentType(QStringLiteral("application/json"));
        header.setContentLength(static_cast<int>(body.size()));
        server.sendResponse(header, body);
    }

    Outcome exchange(const QList<Step>& steps, int expectedReplies)
    {
        return whileServing([&] {
            RawClient client(server.serverPort());
            return talk(client, steps, expectedReplies);
        });
    }

    HttpServer server{0};
    std::function<void(const RequestHeader&, const QByteArray&)> handler = [this](const RequestHeader& header,
                                                                                  const QByteArray& content) {
        reply(echoOf(header.method().toLatin1(), header.path().toLatin1(), content));
    };
};

struct Expected
{
    int status;
    QByteArray body; // checked for 200 replies
};

struct WireCase
{
    const char* name;
    QList<Step> steps;
    QList<Expected> replies;
    bool closed;
    QList<int> interim = {};
};

const QByteArray eightMiB(8 * 1024 * 1024, 'x');

QList<WireCase> wireCases()
{
    return {
        {"PostWithLength",
         {{"POST /cmd HTTP/1.1\r\nHost: localhost\r\nContent-Length: 17\r\n\r\n{\"command\":\"abc\"}"}},
         {{200, echoOf("POST", "/cmd", "{\"command\":\"abc\"}")}},
         false},
        {"ChunkedBody",
         {{"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n"}},
         {{200, echoOf("POST", "/", "hello world")}},
         false},
        {"BodyInFragments",
         {{"POST / HTTP/1.1\r\nContent-Le"}, {"ngth: 6\r\n\r\nab"}, {"cdef"}},
         {{200, echoOf("POST", "/", "abcdef")}},
         false},
        {"KeepAliveTwoRequests",
         {{"POST /a HTTP/1.1\r\nContent-Length: 1\r\n\r\n1"},
          {"POST /b HTTP/1.1\r\nContent-Length: 2\r\n\r\n22", 1}},
         {{200, echoOf("POST", "/a", "1")}, {200, echoOf("POST", "/b", "22")}},
         false},
        {"PipelinedInOrder",
         {{"POST /a HTTP/1.1\r\nContent-Length: 1\r\n\r\n1"
           "POST /b HTTP/1.1\r\nContent-Length: 2\r\n\r\n22"
           "GET /c HTTP/1.1\r\n\r\n"}},
         {{200, echoOf("POST", "/a", "1")},
          {200, echoOf("POST", "/b", "22")},
          {200, echoOf("GET", "/c", "")}},
         false},
        {"ConnectionClose",
         {{"POST / HTTP/1.1\r\nConnection: close\r\nContent-Length: 2\r\n\r\n{}"}},
         {{200, echoOf("POST", "/", "{}")}},
         true},
        {"Http10ClosesAfterReply",
         {{"POST / HTTP/1.0\r\nContent-Length: 2\r\n\r\n{}"}},
         {{200, echoOf("POST", "/", "{}")}},
         true},
        {"Http10KeepAlive",
         {{"POST / HTTP/1.0\r\nConnection: keep-alive\r\nContent-Length: 2\r\n\r\n{}"},
          {"POST /2 HTTP/1.0\r\nContent-Length: 0\r\n\r\n", 1}},
         {{200, echoOf("POST", "/", "{}")}, {200, echoOf("POST", "/2", "")}},
         true},
        {"ExpectContinue",
         {{"POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n"}, {"body", 0, true}},
         {{200, echoOf("POST", "/", "body")}},
         false,
         {100}},
        {"BodyOfExactlyTheLimit",
         {{"POST / HTTP/1.1\r\nContent-Length: 8388608\r\n\r\n" + eightMiB}},
         {{200, echoOf("POST", "/", eightMiB)}},
         false},
        {"LengthOverLimit", {{"POST / HTTP/1.1\r\nContent-Length: 8388609\r\n\r\n"}}, {{413, {}}}, true},
        // The client is still sending when the server refuses; it must read the
        // refusal rather than a reset.
        {"LengthOverLimitWithBody",
         {{"POST / HTTP/1.1\r\nContent-Length: 9000000\r\n\r\n" + QByteArray(9000000, 'y')}},
         {{413, {}}},
         true},
        {"ExpectContinueOverLimitGetsNoContinue",
         {{"POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 9000000\r\n\r\n"}},
         {{413, {}}},
         true},
        {"ChunkedOverLimit",
         {{"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n800001\r\n" + eightMiB + "x\r\n0\r\n\r\n"}},
         {{413, {}}},
         true},
        {"HeadersOverLimit",
         {{"POST / HTTP/1.1\r\nX-Filler: " + QByteArray(70000, 'a') + "\r\nContent-Length: 0\r\n\r\n"}},
         {{431, {}}},
         true},
        {"GarbageRequestLine", {{"GARBAGE\r\n\r\n"}}, {{400, {}}}, true},
        {"BadContentLength", {{"POST / HTTP/1.1\r\nContent-Length: 12x\r\n\r\n"}}, {{400, {}}}, true},
        {"LengthAndChunkedTogether",
         {{"POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"}},
         {{400, {}}},
         true},
        {"BadRequestAfterGoodOne",
         {{"POST /a HTTP/1.1\r\nContent-Length: 1\r\n\r\n1"
           "NOT HTTP AT ALL\r\n\r\n"}},
         {{200, echoOf("POST", "/a", "1")}, {400, {}}},
         true},
    };
}

void PrintTo(const WireCase& wire, std::ostream* os)
{
    *os << wire.name;
}

class HttpServerWireTest : public HttpServerTest, public ::testing::WithParamInterface<WireCase>
{
};

TEST_P(HttpServerWireTest, AnswersRawRequestBytes)
{
    const WireCase& wire = GetParam();
    const Outcome outcome = exchange(wire.steps, static_cast<int>(wire.replies.size()));

    ASSERT_TRUE(outcome.connected);
    EXPECT_EQ(outcome.interim, wire.interim);
    ASSERT_EQ(outcome.replies.size(), wire.replies.size());
    for (qsizetype i = 0; i < wire.replies.size(); ++i) {
        const Reply& reply = outcome.replies.at(i);
        EXPECT_EQ(reply.status, wire.replies.at(i).status) << "reply " << i;
        if (reply.status == 200) {
            EXPECT_TRUE(reply.body == wire.replies.at(i).body)
                << "reply " << i << ": " << reply.body.left(200).data();
        }
    }
    EXPECT_EQ(outcome.closed, wire.closed);
    if (wire.closed && !outcome.replies.isEmpty()) {
        EXPECT_EQ(outcome.replies.last().fields.value("connection"), "close");
    }
}

INSTANTIATE_TEST_SUITE_P(Wire, HttpServerWireTest, ::testing::ValuesIn(wireCases()),
                         [](const ::testing::TestParamInfo<WireCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(HttpServerTest, HandlerSeesRequestLineAndFields)
{
    RequestHeader seen;
    handler = [&](const RequestHeader& header, const QByteArray&) {
        seen = header;
        reply("{}");
    };
    const Outcome outcome = exchange({{"POST /cmd?x=1 HTTP/1.1\r\ncontent-TYPE: application/json\r\nX-Two: "
                                       "a\r\nContent-Length: 0\r\n\r\n"}},
                                     1);

    ASSERT_EQ(outcome.replies.size(), 1);
    EXPECT_EQ(seen.method(), "POST");
    EXPECT_EQ(seen.path(), "/cmd?x=1");
    EXPECT_EQ(seen.majorVersion(), 1);
    EXPECT_EQ(seen.minorVersion(), 1);
    EXPECT_EQ(seen.contentType(), "application/json");
    EXPECT_EQ(seen.value("x-two"), "a");
}

TEST_F(HttpServerTest, ReplyCarriesStatusLineTypeAndTrueLength)
{
    handler = [&](const RequestHeader&, const QByteArray&) {
        ResponseHeader header;
        header.setStatusLine(200, QStringLiteral("OK"), 1, 1);
        header.setContentType(QStringLiteral("application/json"));
        // A wrong length must not break the framing of the next reply.
        header.setContentLength(999);
        server.sendResponse(header, "{\n}\n");
    };
    const Outcome outcome = exchange({{"POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n"
                                       "POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n"}},
                                     2);

    ASSERT_EQ(outcome.replies.size(), 2);
    for (const Reply& reply : outcome.replies) {
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.fields.value("content-type"), "application/json");
        EXPECT_EQ(reply.fields.value("content-length"), "4");
        EXPECT_EQ(reply.body, "{\n}\n");
    }
}

TEST_F(HttpServerTest, ForgottenReplyBecomes500AndServerGoesOn)
{
    handler = [](const RequestHeader&, const QByteArray&) {};
    const Outcome forgotten = exchange({{"POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n"}}, 1);
    ASSERT_EQ(forgotten.replies.size(), 1);
    EXPECT_EQ(forgotten.replies.first().status, 500);
    EXPECT_TRUE(forgotten.closed);

    handler = [this](const RequestHeader&, const QByteArray& content) { reply(content); };
    const Outcome next = exchange({{"POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\nok"}}, 1);
    ASSERT_EQ(next.replies.size(), 1);
    EXPECT_EQ(next.replies.first().body, "ok");
}

// The command slot may wait for the operator's server in an event loop of its
// own; the next request must still wait until the first one is answered.
TEST_F(HttpServerTest, RequestsAreHandledOneAtATime)
{
    int depth = 0;
    int maxDepth = 0;
    QList<QByteArray> order;
    std::atomic<bool> firstRunning{false};
    handler = [&](const RequestHeader&, const QByteArray& content) {
        maxDepth = std::max(maxDepth, ++depth);
        order.append(content);
        if (content == "first") {
            firstRunning = true;
            QEventLoop wait;
            QTimer::singleShot(300, &wait, &QEventLoop::quit);
            wait.exec();
        }
        reply(content);
        --depth;
    };
    const auto outcomes = whileServing([&] {
        RawClient first(server.serverPort());
        RawClient second(server.serverPort());
        first.send("POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nfirst");
        for (int i = 0; i < 500 && !firstRunning; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        second.send("POST / HTTP/1.1\r\nContent-Length: 6\r\n\r\nsecond");
        const std::optional<Reply> a = first.readResponse();
        const std::optional<Reply> b = second.readResponse();
        return std::make_pair(a, b);
    });

    ASSERT_TRUE(outcomes.first && outcomes.second);
    EXPECT_EQ(outcomes.first->body, "first");
    EXPECT_EQ(outcomes.second->body, "second");
    EXPECT_EQ(order, (QList<QByteArray>{"first", "second"}));
    EXPECT_EQ(maxDepth, 1);
}

// A real command talks to the operator's server in an event loop of its own,
// during which the other clients' sockets are served.
void waitWithEvents(int msec)
{
    QEventLoop wait;
    QTimer::singleShot(msec, &wait, &QEventLoop::quit);
    wait.exec();
}

TEST_F(HttpServerTest, HalfClosingClientsAreAllAnswered)
{
    constexpr int clients = 20;
    int handled = 0;
    handler = [&](const RequestHeader& header, const QByteArray& content) {
        ++handled;
        waitWithEvents(50);
        reply(echoOf(header.method().toLatin1(), header.path().toLatin1(), content));
    };
    const QList<std::optional<Reply>> replies = whileServing([&] {
        std::vector<std::future<std::optional<Reply>>> running;
        for (int i = 0; i < clients; ++i) {
            running.push_back(std::async(std::launch::async, [this, i] {
                RawClient client(server.serverPort());
                const QByteArray body = "{\"n\":" + QByteArray::number(i) + "}";
                client.send("POST /cmd HTTP/1.1\r\nContent-Length: " + QByteArray::number(body.size()) +
                            "\r\n\r\n" + body);
                client.shutdownWrite();
                return client.readResponse(15000);
            }));
        }
        QList<std::optional<Reply>> all;
        for (auto& client : running)
            all.append(client.get());
        return all;
    });

    EXPECT_EQ(handled, clients);
    for (int i = 0; i < clients; ++i) {
        ASSERT_TRUE(replies.at(i)) << "client " << i;
        EXPECT_EQ(replies.at(i)->status, 200) << "client " << i;
        EXPECT_EQ(replies.at(i)->body, echoOf("POST", "/cmd", "{\"n\":" + QByteArray::number(i) + "}"));
    }
}

// The end of the client's stream only means that no further request comes.
TEST_F(HttpServerTest, HalfClosedClientGetsEveryPipelinedReplyThenTheEnd)
{
    handler = [this](const RequestHeader& header, const QByteArray& content) {
        waitWithEvents(50);
        reply(echoOf(header.method().toLatin1(), header.path().toLatin1(), content));
    };
    const Outcome outcome = whileServing([&] {
        RawClient client(server.serverPort());
        client.send("POST /a HTTP/1.1\r\nContent-Length: 1\r\n\r\n1"
                    "POST /b HTTP/1.1\r\nContent-Length: 2\r\n\r\n22");
        client.shutdownWrite();
        return talk(client, {}, 2);
    });

    ASSERT_EQ(outcome.replies.size(), 2);
    EXPECT_EQ(outcome.replies.at(0).body, echoOf("POST", "/a", "1"));
    EXPECT_EQ(outcome.replies.at(1).body, echoOf("POST", "/b", "22"));
    EXPECT_TRUE(outcome.closed);
}

// A client beyond the limit waits in the listen backlog, unread, until a slot is free.
TEST_F(HttpServerTest, ConnectionBeyondTheLimitWaitsForAFreeSlot)
{
    const auto replies = whileServing([&] {
        std::vector<std::unique_ptr<RawClient>> holders;
        for (int i = 0; i < 64; ++i)
            holders.push_back(std::make_unique<RawClient>(server.serverPort()));
        // The holders are served, each with an answer, before the extra client comes.
        for (auto& holder : holders)
            holder->send("POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
        int served = 0;
        for (auto& holder : holders)
            served += holder->readResponse().has_value() ? 1 : 0;
        RawClient extra(server.serverPort());
        extra.send("POST /extra HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
        const bool answeredWhileFull = extra.readResponse(500).has_value();
        holders.pop_back();
        const std::optional<Reply> afterFree = extra.readResponse();
        return std::make_tuple(served, answeredWhileFull, afterFree);
    });

    EXPECT_EQ(std::get<0>(replies), 64);
    EXPECT_FALSE(std::get<1>(replies));
    ASSERT_TRUE(std::get<2>(replies));
    EXPECT_EQ(std::get<2>(replies)->body, echoOf("POST", "/extra", ""));
}

TEST_F(HttpServerTest, IdleConnectionIsClosed)
{
    server.setIdleTimeout(200);
    const auto closed = whileServing([&] {
        RawClient silent(server.serverPort());
        RawClient afterReply(server.serverPort());
        afterReply.send("POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
        const bool replied = afterReply.readResponse().has_value();
        return std::make_pair(silent.closedByPeer(3000), replied && afterReply.closedByPeer(3000));
    });
    EXPECT_TRUE(closed.first);
    EXPECT_TRUE(closed.second);
}

// A request has a fixed time from its first byte; bytes that keep coming do not
// extend it. A connection idle between requests keeps the longer idle time.
TEST_F(HttpServerTest, RequestMustArriveWithinItsDeadline)
{
    server.setIdleTimeout(5000);
    server.setRequestTimeout(400);
    struct Result
    {
        bool idleFirstReply = false;
        std::optional<qint64> trickleClosedAfterMsec;
        bool idleClosedMeanwhile = true;
        std::optional<Reply> idleSecondReply;
        std::optional<Reply> slowButInTime;
    };
    const Result result = whileServing([&] {
        Result r;
        RawClient idle(server.serverPort());
        idle.send("POST /1 HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
        r.idleFirstReply = idle.readResponse().has_value();

        RawClient trickler(server.serverPort());
        const QByteArray request = "POST / HTTP/1.1\r\nX-Slow: " + QByteArray(100, 'a');
        const auto started = std::chrono::steady_clock::now();
        for (qsizetype i = 0; i < request.size() && !r.trickleClosedAfterMsec; ++i) {
            trickler.send(request.mid(i, 1));
            if (trickler.closedByPeer(30))
                r.trickleClosedAfterMsec = std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - started)
                                               .count();
        }

        r.idleClosedMeanwhile = idle.closedByPeer(300);
        idle.send("POST /2 HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
        r.idleSecondReply = idle.readResponse();

        RawClient slow(server.serverPort());
        slow.send("POST /slow HTTP/1.1\r\nContent-Length: 2\r\n\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        slow.send("ok");
        r.slowButInTime = slow.readResponse();
        return r;
    });

    EXPECT_TRUE(result.idleFirstReply);
    ASSERT_TRUE(result.trickleClosedAfterMsec) << "still open after 100 bytes";
    EXPECT_GE(*result.trickleClosedAfterMsec, 400);
    EXPECT_LT(*result.trickleClosedAfterMsec, 2000);
    EXPECT_FALSE(result.idleClosedMeanwhile);
    ASSERT_TRUE(result.idleSecondReply);
    EXPECT_EQ(result.idleSecondReply->body, echoOf("POST", "/2", ""));
    ASSERT_TRUE(result.slowButInTime);
    EXPECT_EQ(result.slowButInTime->body, echoOf("POST", "/slow", "ok"));
}

// Browsers let any page post to any address, and a page may give a host name
// of its own the address 127.0.0.1; only programs on this machine give commands.
TEST_F(HttpServerTest, RequestsFromWebPagesAreRefused)
{
    struct SiteCase
    {
        QByteArray fields;
        bool served;
    };
    const QList<SiteCase> cases = {
        {"", true},
        {"Host: 127.0.0.1:55555\r\n", true},
        {"Host: 127.0.0.1\r\n", true},
        {"Host: 127.254.3.9:80\r\n", true},
        {"Host: localhost:55555\r\n", true},
        {"Host: LocalHost\r\n", true},
        {"Host: localhost:\r\n", true},
        {"Host: [::1]:55555\r\n", true},
        {"Host: [::1]\r\n", true},
        {"Host: localhost\r\nOrigin: http://127.0.0.1:3000\r\n", true},
        {"Host: localhost\r\nOrigin: https://localhost\r\n", true},
        {"Origin: http://[::1]:8080\r\n", true},
        {"Host: evil.example\r\n", false},
        {"Host: evil.example:55555\r\n", false},
        {"Host: 127.0.0.1.evil.example:55555\r\n", false},
        {"Host: localhost.evil.example\r\n", false},
        {"Host: 10.0.0.1:55555\r\n", false},
        {"Host: 128.0.0.1\r\n", false},
        {"Host: 127.0.0.256\r\n", false},
        {"Host: 127.0.1\r\n", false},
        {"Host: [::2]:55555\r\n", false},
        {"Host: [::1]evil\r\n", false},
        {"Host: localhost:80x\r\n", false},
        {"Host: :55555\r\n", false},
        {"Host:\r\n", false},
        {"Host: localhost\r\nHost: evil.example\r\n", false},
        {"Host: evil.example\r\nOrigin: http://localhost\r\n", false},
        {"Host: 127.0.0.1:55555\r\nOrigin: http://evil.example\r\n", false},
        {"Host: 127.0.0.1:55555\r\norigin: http://evil.example:55555\r\n", false},
        {"Host: 127.0.0.1:55555\r\nOrigin: null\r\n", false},
        {"Host: 127.0.0.1:55555\r\nOrigin: http://127.0.0.1.evil.example\r\n", false},
        {"Host: 127.0.0.1:55555\r\nOrigin: localhost\r\n", false},
        {"Host: 127.0.0.1:55555\r\nOrigin:\r\n", false},
        // An empty field must not hide the next one.
        {"Host: 127.0.0.1\r\nX-Empty:\r\nOrigin: http://evil.example\r\n", false},
        // Refused before the client is asked for its body.
        {"Host: 127.0.0.1\r\nOrigin: http://evil.example\r\nExpect: 100-continue\r\n", false},
    };
    int handled = 0;
    handler = [&](const RequestHeader&, const QByteArray& content) {
        ++handled;
        reply(content);
    };
    struct Seen
    {
        Outcome outcome;
        int handled = 0;
    };
    const QList<Seen> seen = whileServing([&] {
        QList<Seen> all;
        for (const SiteCase& site : cases) {
            const int before = handled;
            RawClient client(server.serverPort());
            QByteArray request =
                "POST / HTTP/1.1\r\n" + site.fields + "Content-Type: text/plain\r\nContent-Length: 2\r\n\r\n";
            if (!site.fields.contains("Expect"))
                request += "{}";
            client.send(request);
            Outcome outcome;
            while (std::optional<Reply> reply = client.readResponse()) {
                if (reply->status < 200) {
                    outcome.interim.append(reply->status);
                    continue;
                }
                outcome.replies.append(*reply);
                break;
            }
            outcome.closed = !site.served && client.closedByPeer(3000);
            all.append({outcome, handled - before});
        }
        return all;
    });

    for (qsizetype i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases.at(i).fields.toStdString());
        const Outcome& outcome = seen.at(i).outcome;
        ASSERT_EQ(outcome.replies.size(), 1);
        const Reply& reply = outcome.replies.first();
        if (cases.at(i).served) {
            EXPECT_EQ(reply.status, 200);
            EXPECT_EQ(reply.body, "{}");
            EXPECT_EQ(seen.at(i).handled, 1);
        } else {
            EXPECT_EQ(reply.status, 403);
            EXPECT_EQ(reply.fields.value("content-length"), "0");
            EXPECT_EQ(reply.fields.value("connection"), "close");
            EXPECT_TRUE(outcome.interim.isEmpty());
            EXPECT_TRUE(outcome.closed);
            EXPECT_EQ(seen.at(i).handled, 0);
        }
    }
}

// Far more than the socket buffers of both sides hold, so most of it waits in
// the server until the client reads.
const QByteArray largeReply = [] {
    QByteArray bytes;
    for (int i = 0; bytes.size() < 8 * 1024 * 1024; ++i)
        bytes += QByteArray::number(i) + ',';
    return bytes;
}();

void replyLarge(HttpServer& server)
{
    ResponseHeader header;
    header.setStatusLine(200, QStringLiteral("OK"), 1, 1);
    server.sendResponse(header, largeReply);
}

// Neither the end of an exchange nor a keep-alive connection's idle time may
// cut a reply that is still going out.
TEST_F(HttpServerTest, LargeReplyReachesClientsThatReadLate)
{
    server.setIdleTimeout(200);
    handler = [this](const RequestHeader&, const QByteArray&) { replyLarge(server); };
    const QList<QByteArray> requests = {
        "GET / HTTP/1.1\r\n\r\n",
        "GET / HTTP/1.1\r\nConnection: close\r\n\r\n",
        "GET / HTTP/1.0\r\n\r\n",
    };
    const auto results = whileServing([&] {
        std::vector<std::future<std::pair<std::optional<Reply>, bool>>> clients;
        for (const QByteArray& request : requests) {
            clients.push_back(std::async(std::launch::async, [this, request] {
                RawClient client(server.serverPort());
                client.send(request);
                // Longer than the idle time and than the linger after a last reply.
                std::this_thread::sleep_for(std::chrono::milliseconds(2500));
                std::optional<Reply> reply = client.readResponse();
                return std::make_pair(reply, client.closedByPeer(3000));
            }));
        }
        QList<std::pair<std::optional<Reply>, bool>> all;
        for (auto& client : clients)
            all.append(client.get());
        return all;
    });

    for (qsizetype i = 0; i < requests.size(); ++i) {
        SCOPED_TRACE(requests.at(i).toStdString());
        const auto& [reply, closed] = results.at(i);
        ASSERT_TRUE(reply) << "reply cut";
        EXPECT_EQ(reply->status, 200);
        EXPECT_TRUE(reply->body == largeReply);
        EXPECT_TRUE(closed);
    }
}

TEST_F(HttpServerTest, ClientThatTakesNothingIsDroppedAtTheWriteDeadline)
{
    server.setWriteTimeout(1000);
    handler = [this](const RequestHeader&, const QByteArray&) { replyLarge(server); };
    const auto results = whileServing([&] {
        const auto started = std::chrono::steady_clock::now();
        RawClient stalled(server.serverPort());
        RawClient steady(server.serverPort());
        stalled.send("GET / HTTP/1.1\r\n\r\n");
        steady.send("GET / HTTP/1.1\r\n\r\n");
        // Longer in all than the deadline, but never a whole deadline without taking some.
        while (steady.buffered() < largeReply.size() &&
               steady.readSome(std::min<qsizetype>(256 * 1024, largeReply.size() - steady.buffered())))
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::optional<Reply> steadyReply = steady.readResponse();
        std::this_thread::sleep_until(started + std::chrono::milliseconds(2500));
        const std::optional<Reply> stalledReply = stalled.readResponse();
        return std::make_tuple(steadyReply, stalledReply, stalled.closedByPeer(3000));
    });

    const auto& [steadyReply, stalledReply, stalledClosed] = results;
    ASSERT_TRUE(steadyReply);
    EXPECT_TRUE(steadyReply->body == largeReply);
    EXPECT_FALSE(stalledReply);
    EXPECT_TRUE(stalledClosed);
}

// Slower than a full socket buffer drains within the deadline: the socket stays unwritable for longer
// than that while the client keeps taking bytes.
TEST_F(HttpServerTest, SlowSteadyReaderGetsTheWholeReply)
{
    server.setWriteTimeout(1000);
    handler = [this](const RequestHeader&, const QByteArray&) { replyLarge(server); };
    const std::optional<Reply> reply = whileServing([&] {
        RawClient client(server.serverPort());
        client.send("GET / HTTP/1.1\r\n\r\n");
        // About 1 MB/s, so the 8 MiB take some 8 s.
        while (client.buffered() < largeReply.size() &&
               client.readSome(std::min<qsizetype>(48 * 1024, largeReply.size() - client.buffered())))
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return client.readResponse();
    });

    ASSERT_TRUE(reply) << "reply cut";
    EXPECT_TRUE(reply->body == largeReply);
}

TEST(HttpServerEnd, ReplyGoingOutIsFinishedBeforeTheServerEnds)
{
    auto* server = new HttpServer(0);
    ASSERT_TRUE(server->isListening());
    QObject::connect(server, &HttpServer::requestReceived, server,
                     [server](const RequestHeader&, const QByteArray&) { replyLarge(*server); });
    const quint16 port = server->serverPort();
    const auto result = whileServing([&] {
        RawClient client(port);
        client.send("GET / HTTP/1.1\r\n\r\n");
        client.readSome(1);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [server] { delete server; }, Qt::QueuedConnection);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        const std::optional<Reply> reply = client.readResponse();
        return std::make_pair(reply, client.closedByPeer(3000));
    });

    ASSERT_TRUE(result.first) << "reply cut";
    EXPECT_TRUE(result.first->body == largeReply);
    EXPECT_TRUE(result.second);
}

TEST(HttpServerPort, PortInUseIsNotListening)
{
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::LocalHost, 0));
    HttpServer server(occupant.serverPort());
    EXPECT_FALSE(server.isListening());
}

TEST(ResponseHeaderText, LineBreaksCannotAddFields)
{
    ResponseHeader header;
    header.setStatusLine(200, QStringLiteral("OK\r\nX-Evil: 1"), 1, 1);
    header.setContentType(QStringLiteral("application/json\r\nSet-Cookie: a=b"));
    header.setValue(QStringLiteral("Bad Name:"), QStringLiteral("x"));
    EXPECT_EQ(header.toByteArray(), QByteArray("HTTP/1.1 200 OK  X-Evil: 1\r\n"
                                               "Content-Type: application/json  Set-Cookie: a=b\r\n"
                                               "\r\n"));
}

} // namespace
