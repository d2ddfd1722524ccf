// SPDX-License-Identifier: MIT
#include "Platform/Linux/GrantAccessDialog.hpp"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace quenlark;
using namespace Qt::StringLiterals;

namespace {

constexpr int timeoutMs = 30000;
const QString helper = QStringLiteral(QUENLARK_GRANT_HELPER);
const QString rule = u"etc/udev/rules.d/70-quenlark-uinput.rules"_s;

// The dialog runs the real helper through a stand-in for pkexec on a scratch root
// (QUENLARK_GRANT_ROOT), where stand-ins for modprobe and udevadm log how they were called.
class GrantAccessDialogTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root.isValid() && QDir(root.path()).mkpath(u"usr/sbin"_s));
        qputenv("QUENLARK_GRANT_ROOT", QFile::encodeName(root.path()));
        writeScript(u"usr/sbin/udevadm"_s, 0);
    }

    // A script that logs its name and arguments, runs body and exits with exitCode.
    void writeScript(const QString& path, int exitCode, const QByteArray& body = {})
    {
        QFile file(root.filePath(path));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("#!/bin/sh\necho \"$(basename $0) $*\" >>\"$QUENLARK_GRANT_ROOT/log\"\n" + body +
                   "\nexit " + QByteArray::number(exitCode) + "\n");
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    QByteArray contents(const QString& path) const
    {
        QFile file(root.filePath(path));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir root;
};

} // namespace

TEST_F(GrantAccessDialogTest, AllowRunsTheHelperWithoutWaitingAndShowsTheOutcome)
{
    const QByteArray elevated = "pkexec " + helper.toUtf8() + "\n";
    const QByteArray applied = "modprobe uinput\nudevadm control --reload-rules\nudevadm trigger "
                               "--action=change --subsystem-match=misc --sysname-match=uinput\n"
                               "udevadm settle --timeout=10\n";
    const struct {
        const char* elevator; // pkexec, or a path where there is none
        int elevatorExit, modprobeExit;
        const char* status; // the dialog closes, accepted, where empty
        QByteArray log;
    } table[] = {
        {"pkexec", 126, 0, "Access was not allowed. Press Allow to try again.", elevated},
        {"pkexec", 127, 0, "Access was not allowed. Press Allow to try again.", elevated},
        {"none", 0, 0, " could not be started. Install the pkexec package, then press Allow again.",
         ""},
        {"pkexec", 0, 1, "Access could not be set up. Press Allow to try again.",
         elevated + "modprobe uinput\n"},
        {"pkexec", 0, 0, "", elevated + applied},
    };
    // The helper sets its files' mode itself, whatever the caller's umask.
    const mode_t umask = ::umask(077);
    for (const auto& row : table) {
        QFile::remove(root.filePath(u"log"_s));
        writeScript(u"usr/sbin/modprobe"_s, row.modprobeExit);
        writeScript(u"pkexec"_s, row.elevatorExit, row.elevatorExit ? "" : "exec \"$@\"");
        GrantAccessDialog dialog(root.filePath(QLatin1String(row.elevator)), helper);
        dialog.show();
        auto* allow = dialog.findChild<QPushButton*>(u"allowButton"_s);
        auto* status = dialog.findChild<QLabel*>(u"statusLabel"_s);
        allow->click();
        EXPECT_TRUE(dialog.isVisible() && !dialog.isModal() && !allow->isEnabled());
        EXPECT_EQ(status->text(), u"Waiting for authorisation…"_s);

        ASSERT_TRUE(
            QTest::qWaitFor([&] { return !dialog.isVisible() || allow->isEnabled(); }, timeoutMs));
        if (*row.status)
            EXPECT_TRUE(status->text().endsWith(QString::fromUtf8(row.status)))
                << status->text().toStdString();
        else
            EXPECT_EQ(dialog.result(), QDialog::Accepted);
        EXPECT_EQ(contents(u"log"_s), row.log) << row.status;
    }
    ::umask(umask);
    EXPECT_EQ(
        contents(rule),
        R"(KERNEL=="uinput", SUBSYSTEM=="misc", TAG+="uaccess", OPTIONS+="static_node=uinput")"
        "\n");
    EXPECT_EQ(contents(u"etc/modules-load.d/quenlark-uinput.conf"_s), "uinput\n");
    for (const auto& file : {rule, u"etc/modules-load.d/quenlark-uinput.conf"_s}) {
        struct stat info {};
        ::stat(QFile::encodeName(root.filePath(file)).constData(), &info);
        EXPECT_EQ(info.st_mode & 07777, 0644u) << file.toStdString();
    }
    EXPECT_EQ(QDir(root.filePath(u"etc/udev/rules.d"_s)).entryList(QDir::Files).size(), 1)
        << "no temporary file is left behind";
}

TEST_F(GrantAccessDialogTest, AfterTheDesktopRefusedAskAgainOrSetUpForAllSessions)
{
    writeScript(u"pkexec"_s, 0, "exec \"$@\"");
    writeScript(u"usr/sbin/modprobe"_s, 0);
    int asked = 0;
    for (const bool askAgain : {true, false}) {
        GrantAccessDialog dialog(root.filePath(u"pkexec"_s), helper, [&asked] { ++asked; });
        dialog.show();
        auto* allow = dialog.findChild<QPushButton*>(u"allowButton"_s);
        EXPECT_EQ(allow->text(), u"Set Up for All Sessions"_s);
        (askAgain ? dialog.findChild<QPushButton*>(u"askAgainButton"_s) : allow)->click();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, timeoutMs));
        EXPECT_EQ(asked, 1);
        EXPECT_EQ(QFile::exists(root.filePath(rule)), !askAgain) << "only Set Up runs the helper";
    }
}

// Whatever starts the helper through pkexec could hand arguments to a root shell.
TEST_F(GrantAccessDialogTest, TheHelperTakesNoArguments)
{
    QProcess process;
    process.start(helper, {u"/tmp/evil"_s});
    ASSERT_TRUE(process.waitForFinished(timeoutMs));
    EXPECT_EQ(process.exitCode(), 2);
    EXPECT_FALSE(QFile::exists(root.filePath(u"etc"_s)));
}

TEST(GrantAccessDialogOnceTest, ShowOnceKeepsOneDialogUntilItIsClosed)
{
    const auto shown = [] {
        QList<QWidget*> dialogs = QApplication::topLevelWidgets();
        dialogs.removeIf([](QWidget* w) { return !qobject_cast<GrantAccessDialog*>(w); });
        return dialogs;
    };
    for (int round = 0; round < 2; ++round) {
        GrantAccessDialog::showOnce();
        GrantAccessDialog::showOnce();
        ASSERT_EQ(shown().size(), 1);
        EXPECT_TRUE(shown().first()->isVisible());
        shown().first()->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(shown().isEmpty()) << "closing drops it; the next one is new";
    }
}
