// SPDX-License-Identifier: MIT
#include "Platform/Linux/GrantAccessDialog.hpp"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace quenlark;
using namespace Qt::StringLiterals;

namespace {

constexpr int timeoutMs = 30000;

// A stand-in for pkexec that records its arguments and exits with the code the test chose.
class GrantAccessDialogTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(scratch.isValid());
        QFile elevator(elevatorPath());
        ASSERT_TRUE(elevator.open(QIODevice::WriteOnly));
        elevator.write("#!/bin/sh\n"
                       "dir=$(dirname \"$0\")\n"
                       "printf '%s\\n' \"$@\" >\"$dir/arguments\"\n"
                       "exit \"$(cat \"$dir/exit-code\")\"\n");
        elevator.close();
        elevator.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    }

    QString elevatorPath() const { return scratch.filePath(u"elevator"_s); }

    void setExitCode(int code)
    {
        QFile file(scratch.filePath(u"exit-code"_s));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QByteArray::number(code));
    }

    QByteArray recordedArguments() const
    {
        QFile file(scratch.filePath(u"arguments"_s));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(not run)");
    }

    QTemporaryDir scratch;
};

QPushButton* allowButton(GrantAccessDialog& dialog)
{
    return dialog.findChild<QPushButton*>(u"allowButton"_s);
}

QString status(GrantAccessDialog& dialog)
{
    const auto* label = dialog.findChild<QLabel*>(u"statusLabel"_s);
    return label && label->isVisible() ? label->text() : QString();
}

} // namespace

TEST_F(GrantAccessDialogTest, AllowRunsTheHelperWithoutWaitingAndShowsTheOutcome)
{
    const struct {
        int exitCode;
        bool closes;
        const char* status;
    } table[] = {
        {0, true, ""},
        {126, false, "Access was not allowed. Press Allow to try again."},
        {127, false, "Access was not allowed. Press Allow to try again."},
        {1, false, "Access could not be set up. Press Allow to try again."},
    };
    for (const auto& row : table) {
        setExitCode(row.exitCode);
        GrantAccessDialog dialog(elevatorPath(), u"/usr/libexec/quenlark-grant-uinput"_s);
        dialog.show();
        ASSERT_FALSE(dialog.isModal());
        QPushButton* allow = allowButton(dialog);
        ASSERT_NE(allow, nullptr);

        allow->click();
        // The outcome comes from the event loop, so nothing has happened when the click returns.
        EXPECT_TRUE(dialog.isVisible()) << row.exitCode;
        EXPECT_FALSE(allow->isEnabled()) << row.exitCode;
        EXPECT_EQ(status(dialog), u"Waiting for authorisation…"_s) << row.exitCode;

        ASSERT_TRUE(
            QTest::qWaitFor([&] { return !dialog.isVisible() || allow->isEnabled(); }, timeoutMs))
            << row.exitCode;
        EXPECT_EQ(!dialog.isVisible(), row.closes) << row.exitCode;
        if (row.closes)
            EXPECT_EQ(dialog.result(), QDialog::Accepted);
        else
            EXPECT_EQ(status(dialog), QString::fromUtf8(row.status)) << row.exitCode;
        EXPECT_EQ(recordedArguments(), QByteArray("/usr/libexec/quenlark-grant-uinput\n"))
            << "the helper's path and nothing else";
    }
}

TEST_F(GrantAccessDialogTest, AMissingElevatorIsReportedAndAllowWorksAgain)
{
    GrantAccessDialog dialog(scratch.filePath(u"no-such-pkexec"_s), u"/helper"_s);
    dialog.show();
    QPushButton* allow = allowButton(dialog);
    ASSERT_NE(allow, nullptr);
    allow->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return allow->isEnabled(); }, timeoutMs));
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(status(dialog).contains(u"could not be started"_s)) << status(dialog).toStdString();
}

TEST_F(GrantAccessDialogTest, AfterTheDesktopRefusedAskAgainOrSetUpForAllSessions)
{
    setExitCode(0);
    int asked = 0;
    for (const bool askAgain : {true, false}) {
        GrantAccessDialog dialog(elevatorPath(), u"/helper"_s, [&asked] { ++asked; });
        dialog.show();
        auto* again = dialog.findChild<QPushButton*>(u"askAgainButton"_s);
        ASSERT_NE(again, nullptr);
        ASSERT_EQ(allowButton(dialog)->text(), u"Set Up for All Sessions"_s);
        (askAgain ? again : allowButton(dialog))->click();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, timeoutMs)) << askAgain;
        EXPECT_EQ(asked, 1) << askAgain;
        EXPECT_EQ(recordedArguments(), askAgain ? QByteArray("(not run)") : "/helper\n");
    }
}

TEST_F(GrantAccessDialogTest, ShowOnceKeepsOneDialogAndDropsItWhenClosed)
{
    const auto dialogs = [] {
        QList<GrantAccessDialog*> found;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* dialog = qobject_cast<GrantAccessDialog*>(widget))
                found.append(dialog);
        }
        return found;
    };
    GrantAccessDialog::showOnce();
    GrantAccessDialog::showOnce();
    ASSERT_EQ(dialogs().size(), 1);
    EXPECT_TRUE(dialogs().first()->isVisible());

    dialogs().first()->reject();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(dialogs().isEmpty());

    GrantAccessDialog::showOnce();
    ASSERT_EQ(dialogs().size(), 1);
    dialogs().first()->reject();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST(GrantAccessDialogHelperPathTest, PointsAtAnExecutableHelper)
{
    const QString helper = GrantAccessDialog::helperPath();
    EXPECT_TRUE(helper.endsWith(u"/quenlark-grant-uinput"_s)) << helper.toStdString();
    EXPECT_TRUE(QFileInfo(helper).isExecutable()) << helper.toStdString();
}
