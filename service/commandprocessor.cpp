#include "service/commandprocessor.h"

#include "documents/closeshiftrequest.h"
#include "documents/moneyplacementrequest.h"
#include "documents/ticketrequest.h"
#include "service/sender.h"

#include "korvannetwork/httpserver.h"
#include "korvannetwork/responseheader.h"
#include "log4qt/logger.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <malloc.h>

#include <new>
#include <optional>
#include <utility>

namespace taxvault {

namespace {

// Real fiscal documents nest fewer than 10 levels. A deeper body is refused as
// not JSON: echoed back indented, a body of a few megabytes nested hundreds of
// levels deep would grow a thousandfold and exhaust the memory at every read.
constexpr int kMaxNesting = 16;
// Every object of a document becomes a full default one in the model (an empty
// receipt line some 7 KB with its commodity and taxes), so a body of millions of
// "{}" would take gigabytes. A receipt of thousands of lines stays far below.
constexpr int kMaxContainers = 65536;

// Objects and arrays together, the body's own outer one being level 1. Exact for
// valid JSON; for anything else the parse refuses the body anyway.
// A command whose request and reply together are larger than this gives the
// memory it took back to the system; smaller ones leave nothing worth it.
constexpr qsizetype kReleaseAfterBytes = 1024 * 1024;

bool withinShapeBounds(const QByteArray& body)
{
    int depth = 0;
    int containers = 0;
    bool inString = false;
    for (qsizetype i = 0; i < body.size(); ++i) {
        const char c = body.at(i);
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > kMaxNesting || ++containers > kMaxContainers)
                return false;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return true;
}

// A document shared with the sender. Not QSharedPointer::create: when its one
// allocation fails, this Qt's create() destroys a pointer it never set.
template <typename Document>
QSharedPointer<Document> shared(Document&& document)
{
    return QSharedPointer<Document>(new Document(std::move(document)));
}

QJsonObject parseRequest(const QByteArray& content)
{
    if (!withinShapeBounds(content))
        return QJsonObject();
    return QJsonDocument::fromJson(content).object();
}

} // namespace

CommandProcessor::CommandProcessor(int port)
    : QObject(nullptr), m_server(new HttpServer(port)), m_sender(new Sender()),
      m_logger(Log4Qt::Logger::logger(QStringLiteral("command")))
{
}

CommandProcessor::~CommandProcessor()
{
    m_sender.reset();
    m_server.reset();
}

void CommandProcessor::start()
{
    m_sender->init();
    connect(m_server.data(), &HttpServer::requestReceived, this, &CommandProcessor::processReceivedRequest);
}

bool CommandProcessor::isListening() const
{
    return m_server->isListening();
}

void CommandProcessor::processReceivedRequest(RequestHeader header, QByteArray content)
{
    Q_UNUSED(header);
    // The command's lines go out together, before its reply.
    std::optional<Log4Qt::LogBatch> batch(std::in_place);
    QByteArray body;
    try {
        body = QJsonDocument(dispatch(content)).toJson(QJsonDocument::Indented);
    } catch (const std::bad_alloc&) {
        // One command too large for the memory ends, not the service. Its
        // transactions and locks are all scope objects: whatever it had begun
        // to store has been rolled back, and every lock released, on the way here.
        body = QJsonDocument(m_sender->outOfMemory()).toJson(QJsonDocument::Indented);
    }
    ResponseHeader responseHeader;
    responseHeader.setStatusLine(200, QStringLiteral("OK"), 1, 1);
    responseHeader.setContentType(QStringLiteral("application/json"));
    responseHeader.setContentLength(static_cast<int>(body.size()));
    batch.reset();
    m_server->sendResponse(responseHeader, body);
    // The many small pieces a large command was made of go back to the
    // system: left in the heap, they would stay with the process for good.
    if (content.size() + body.size() > kReleaseAfterBytes)
        malloc_trim(0);
}

QJsonObject CommandProcessor::dispatch(const QByteArray& content)
{
    const QJsonObject request = parseRequest(content);
    const QString name = request.value(QStringLiteral("command")).toString();
    m_logger->info(QStringLiteral("Получена команда: %1").arg(name));
    const QJsonObject object = request.value(QStringLiteral("object")).toObject();

    QJsonObject reply;
    if (name == QLatin1String("commandSystem"))
        reply = m_sender->commandSystem();
    else if (name == QLatin1String("commandInfo"))
        reply = m_sender->commandInfo();
    else if (name == QLatin1String("commandCloseShift"))
        reply = m_sender->commandCloseShift(
            shared(CloseShiftRequest::fromJson(object)));
    else if (name == QLatin1String("saveTicketRequest"))
        reply = m_sender->saveTicketRequest(object);
    else if (name == QLatin1String("saveReportRequest"))
        reply = m_sender->saveReportRequest(object);
    else if (name == QLatin1String("getLastTicketRequest"))
        reply = m_sender->getLastTicketRequest();
    else if (name == QLatin1String("commandReport"))
        reply = m_sender->commandReport(object);
    else if (name == QLatin1String("commandMoneyPlacement"))
        reply = m_sender->commandMoneyPlacement(
            shared(MoneyPlacementRequest::fromJson(object)));
    else if (name == QLatin1String("commandTicket"))
        reply =
            m_sender->commandTicket(shared(TicketRequest::fromJson(object)));
    else if (name == QLatin1String("getLastReportRequest"))
        reply = m_sender->getLastReportRequest();
    else if (name == QLatin1String("getLastReportResponse"))
        reply = m_sender->getLastReportResponse();
    else if (name == QLatin1String("getLastServiceResponse"))
        reply = m_sender->getLastServiceResponse();
    else if (name == QLatin1String("getLastServiceRequest"))
        reply = m_sender->getLastServiceRequest();
    else if (name == QLatin1String("getLastInfoServiceResponse"))
        reply = m_sender->getLastInfoServiceResponse();
    else
        m_logger->error(QStringLiteral("Получена неподдерживаемая команда: %1").arg(name));
    return reply;
}

} // namespace taxvault
