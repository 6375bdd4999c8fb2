#include "sqlcipher/sqlcipherdriver.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // gtest takes its own options out of argv before Qt keeps a reference to it.
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication application(argc, argv);
    registerSqlCipherDriver();
    return RUN_ALL_TESTS();
}
