// The background workers' own Senders: made on the worker's thread, so that
// their sockets are used where they belong, and released with the worker
// when its thread ends, so that repeated offline periods and server blocks
// leave nothing behind.

#include "servicetestsupport.h"

#include "service/lockhandler.h"
#include "service/queuehandler.h"
#include "storage/dao.h"

#include "korvan/singleton.h"

#include <QDeadlineTimer>
#include <QMetaMethod>
#include <QPointer>
#include <QTcpSocket>
#include <QThread>

namespace taxvault::testing {
namespace {

template <typename Worker> class WorkerThreads : public ServiceDbTest
{
protected:
    void SetUp() override
    {
        ServiceDbTest::SetUp();
        // Every send fails at once without a server, so the workers keep
        // going, each send on a fresh short interval.
        setConfig(QStringLiteral("DataSending:reconnectionTimeout"), 10);
        setConfig(QStringLiteral("DataSending:operationTimeout"), 0);
        ASSERT_TRUE(Singleton<Dao>::instance()->saveMessage(json(R"({"command": 0, "request": null})")));
    }
};

using Workers = ::testing::Types<QueueHandler, LockHandler>;
TYPED_TEST_SUITE(WorkerThreads, Workers);

TYPED_TEST(WorkerThreads, OwnSenderLivesOnWorkerThreadAndEndsWithIt)
{
    for (int period = 0; period < 2; ++period) {
        SCOPED_TRACE(::testing::Message() << "period " << period);
        auto* worker = new TypeParam();
        QThread thread;
        worker->moveToThread(&thread);
        QObject::connect(&thread, &QThread::started, worker, &TypeParam::onStart);
        QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
        QPointer<TypeParam> liveWorker(worker);
        thread.start();

        QPointer<Sender> sender;
        bool senderOnWorkerThread = false;
        bool socketOnWorkerThread = false;
        const QDeadlineTimer deadline(5000);
        while (!sender && !deadline.hasExpired()) {
            QThread::msleep(5);
            QMetaObject::invokeMethod(
                worker,
                [&] {
                    Sender* own = worker->template findChild<Sender*>();
                    if (!own)
                        return;
                    sender = own;
                    senderOnWorkerThread = own->thread() == QThread::currentThread();
                    auto* socket = own->template findChild<QTcpSocket*>();
                    socketOnWorkerThread = socket && socket->thread() == QThread::currentThread();
                },
                Qt::BlockingQueuedConnection);
        }
        ASSERT_TRUE(sender) << "the worker never made its Sender";
        EXPECT_TRUE(senderOnWorkerThread);
        EXPECT_TRUE(socketOnWorkerThread);

        thread.quit();
        ASSERT_TRUE(thread.wait(5000));
        EXPECT_TRUE(liveWorker.isNull()) << "the worker outlived its thread";
        EXPECT_TRUE(sender.isNull()) << "the worker's Sender outlived its thread";
    }
}

// The workers' status signals cross threads as queued calls; the type must be
// known by its name and travel by its int value.
TEST(ServiceStatusMetaType, KnownByNameComparableAndStreamedAsItsNumber)
{
    registerServiceStatusMetaType();
    const QMetaType type = QMetaType::fromName("taxvault::EServiceStatus");
    ASSERT_TRUE(type.isValid());
    EXPECT_EQ(type, QMetaType::fromType<EServiceStatus>());
    EXPECT_TRUE(type.isEqualityComparable());
    EXPECT_TRUE(type.isOrdered());
    EXPECT_TRUE(type.hasRegisteredDataStreamOperators());

    const QVariant blocked = QVariant::fromValue(EServiceStatus::SERVER_BLOCKED);
    EXPECT_EQ(QVariant::compare(blocked, QVariant::fromValue(EServiceStatus::AUTONOMOUS)),
              QPartialOrdering::Greater);

    QByteArray bytes;
    {
        QDataStream out(&bytes, QIODevice::WriteOnly);
        ASSERT_TRUE(type.save(out, blocked.constData()));
    }
    qint32 number = -1;
    QDataStream(bytes) >> number;
    EXPECT_EQ(number, 3);

    EServiceStatus back = EServiceStatus::NORMAL;
    QDataStream in(bytes);
    ASSERT_TRUE(type.load(in, &back));
    EXPECT_EQ(back, EServiceStatus::SERVER_BLOCKED);

    for (const char* signal : {"stop(taxvault::EServiceStatus)", "changeStatus(taxvault::EServiceStatus)"}) {
        const int index = QueueHandler::staticMetaObject.indexOfSignal(signal);
        ASSERT_NE(index, -1) << signal;
        EXPECT_EQ(QueueHandler::staticMetaObject.method(index).parameterMetaType(0), type) << signal;
    }
}

} // namespace
} // namespace taxvault::testing
