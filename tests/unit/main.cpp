// SPDX-License-Identifier: MIT
#include <QCoreApplication>

#include <gmock/gmock.h>

// Core types post work to the main queue, so the tests run with an application object.
int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
