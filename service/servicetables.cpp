#include "service/servicetables.h"

#include "message.pb.h"

#include <QVariant>

namespace taxvault {

const std::map<int, const char*> resultCodeMessages = {
    {1, "Неизвестный ID устройства"},
    {2, "Неверный токен"},
    {3, "Ошибка протокола"},
    {4, "Неизвестная команда"},
    {5, "Команда не поддерживается"},
    {6, "Неверные настройки устройства"},
    {7, "Использование SSL не разрешено"},
    {8, "Неправильный номер запроса"},
    {9, "Неправильная попытка отправки повторного запроса"},
    {10, "Невозможно сделать отмену чека"},
    {11, "Время открытой смены истекло"},
    {12, "Неправильное имя или пароль"},
    {13, "Неверные входные данные"},
    {14, "Недостаточно наличных"},
    {15, "Касса заблокирована"},
    {17, "Совпадает значение ИИН/БИН покупателя и продавца"},
    {254, "Сервис временно недоступен"},
    {255, "Неизвестная ошибка"},
};

const std::map<int, const char*> serviceModeNames = {
    {0, "нормальный режим"},
    {1, "автономный режим"},
    {2, "режим блокировки"},
    {3, "режим серверной блокировки"},
};

const std::map<std::string, int> taxationTypeNames = {
    {"TRBP", 103},
    {"TRFF", 102},
    {"RTS", 101},
    {"STS", 100},
};

QString resultCodeMessage(int code)
{
    const auto it = resultCodeMessages.find(code);
    return it == resultCodeMessages.end() ? QString() : QString::fromUtf8(it->second);
}

QString serviceModeName(int status)
{
    const auto it = serviceModeNames.find(status);
    return QString::fromUtf8(it == serviceModeNames.end() ? "неизвестный режим" : it->second);
}

int taxationTypeNumber(const QString& name)
{
    const auto it = taxationTypeNames.find(name.toStdString());
    return it == taxationTypeNames.end() ? 100 : it->second;
}

QString statusChangeWarning(int status, const QString& cause)
{
    return QStringLiteral("Переход в %1. Причина: %2").arg(serviceModeName(status), cause);
}

QString resultCodeCause(int code)
{
    const QString text = resultCodeMessage(code);
    return text.isEmpty() ? QStringLiteral("код результата %1").arg(code)
                          : QStringLiteral("код результата %1 (%2)").arg(code).arg(text);
}

QString offlineReasonCause(int reason)
{
    return reason == 2 ? resultCodeCause(2) : QStringLiteral("нет связи с сервером ОФД");
}

QString acceptedDocumentText(const QJsonObject& document, const ofd::proto::Response& answer)
{
    const QString ticketNumber =
        answer.has_ticket() ? QString::fromStdString(answer.ticket().ticket_number()) : QString();
    const auto shown = [](const QString& text) { return text.isEmpty() ? QStringLiteral("-") : text; };
    const auto number = [&](const char* key) {
        return shown(document.value(QLatin1String(key)).toVariant().toString());
    };
    return QStringLiteral("номер документа %1, смена %2, номер чека ОФД %3")
        .arg(number("printedDocumentNumber"), number("frShiftNumber"), shown(ticketNumber));
}

} // namespace taxvault
