// SPDX-License-Identifier: MIT
#include "Models/BLEConstants.hpp"
#include "Models/ConnectionState.hpp"
#include "Models/SlideCommand.hpp"

#include <gtest/gtest.h>

using namespace quenlark;

TEST(SlideCommandTest, OnlyOneAndTwoAreCommands)
{
    for (int raw = 0; raw <= 255; ++raw) {
        const auto command = slideCommandFromRawValue(static_cast<std::uint8_t>(raw));
        if (raw == 1)
            EXPECT_EQ(command, SlideCommand::nextSlide);
        else if (raw == 2)
            EXPECT_EQ(command, SlideCommand::previousSlide);
        else
            EXPECT_FALSE(command.has_value()) << raw;
    }
    EXPECT_EQ(rawValue(SlideCommand::nextSlide), 1);
    EXPECT_EQ(rawValue(SlideCommand::previousSlide), 2);
}

TEST(ConnectionStateTest, RawValuesRoundTripAndOnlyExactTextConverts)
{
    const std::pair<ConnectionState, const char*> table[] = {
        {ConnectionState::disconnected, "Disconnected"},
        {ConnectionState::advertising, "Scanning"},
        {ConnectionState::connected, "Connected"},
    };
    for (const auto& [state, text] : table) {
        EXPECT_EQ(rawValue(state), QString::fromLatin1(text));
        EXPECT_EQ(connectionStateFromRawValue(QString::fromLatin1(text)), state);
    }
    for (const char* text : {"scanning", "advertising", "SCANNING", " Scanning", "Scanning ", ""})
        EXPECT_FALSE(connectionStateFromRawValue(QString::fromLatin1(text)).has_value()) << text;
}

TEST(BLEConstantsTest, IdentifyTheClickerServiceAndItsCommand)
{
    EXPECT_EQ(BLEConstants::serviceUUID(),
              QUuid(QStringLiteral("e20a39f4-73f5-4bc4-a12f-17d1ad07a961")));
    EXPECT_EQ(BLEConstants::characteristicUUID(),
              QUuid(QStringLiteral("{08590F7E-DB05-467E-8757-72F6FAEB13D4}")));
}
