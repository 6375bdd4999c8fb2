#include "service/servicetables.h"

#include <gtest/gtest.h>

namespace taxvault {
namespace {

struct CodeText
{
    int code;
    const char* text;
};

TEST(ServiceTables, ResultCodeTexts)
{
    const CodeText cases[] = {
        {0, ""},
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
        {16, ""},
        {17, "Совпадает значение ИИН/БИН покупателя и продавца"},
        {18, ""},
        {253, ""},
        {254, "Сервис временно недоступен"},
        {255, "Неизвестная ошибка"},
        {256, ""},
        {300, ""},
        {-1, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(resultCodeMessage(c.code), QString::fromUtf8(c.text)) << "code " << c.code;
}

TEST(ServiceTables, ServiceModeNames)
{
    const CodeText cases[] = {
        {0, "нормальный режим"},           {1, "автономный режим"},  {2, "режим блокировки"},
        {3, "режим серверной блокировки"}, {4, "неизвестный режим"}, {-1, "неизвестный режим"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(serviceModeName(c.code), QString::fromUtf8(c.text)) << "status " << c.code;
}

TEST(ServiceTables, TaxationTypeNumbers)
{
    const struct
    {
        const char* name;
        int number;
    } cases[] = {
        {"TRBP", 103},  {"TRFF", 102},  {"RTS", 101}, {"STS", 100}, {"trff", 100},
        {" TRFF", 100}, {"TRFF ", 100}, {"", 100},    {"VAT", 100},
    };
    for (const auto& c : cases)
        EXPECT_EQ(taxationTypeNumber(QString::fromUtf8(c.name)), c.number) << "'" << c.name << "'";
}

} // namespace
} // namespace taxvault
