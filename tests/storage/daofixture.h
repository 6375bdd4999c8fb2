#pragma once

#include "storagetestsupport.h"

#include "storage/dao.h"
#include "storage/database.h"
#include "storage/databasekey.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <memory>

// The Dao keeps the path it was created with, so every Dao test of a process
// shares one file; each test starts from empty tables.
class DaoFixture : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        storagetest::ensureRoot();
        storagetest::useDevice(7);
        static const bool initialised = taxvault::Database().init();
        ASSERT_TRUE(initialised);
    }

    void SetUp() override
    {
        raw = std::make_unique<storagetest::RawDatabase>(taxvault::Database::dbFilePath(),
                                                         QByteArray(taxvault::DatabaseKey::passphrase()));
        ASSERT_TRUE(raw->exec(QStringLiteral("DELETE FROM shiftcounters; DELETE FROM fiscalmemory; "
                                             "DELETE FROM protectedcounters; DELETE FROM messages; "
                                             "DELETE FROM status; DELETE FROM servicedata;")))
            << raw->error().toStdString();
    }

public:
    static taxvault::Dao* dao() { return taxvault::Dao::instance(); }

    // The single value of a one-row, one-column query; invalid when there is none.
    QVariant value(const QString& query)
    {
        const QList<QVariantList> rows = raw->rows(query);
        return rows.size() == 1 && rows.first().size() == 1 ? rows.first().first() : QVariant();
    }

    bool insert(const QString& statement)
    {
        const bool ok = raw->exec(statement);
        EXPECT_TRUE(ok) << statement.toStdString() << ": " << raw->error().toStdString();
        return ok;
    }

    static QJsonObject json(const char* text) { return QJsonDocument::fromJson(text).object(); }

    std::unique_ptr<storagetest::RawDatabase> raw;
};
