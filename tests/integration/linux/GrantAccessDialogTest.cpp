// SPDX-License-Identifier: MIT
#include "Platform/Linux/Permission/GrantAccessDialog.hpp"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

#include <gtest/gtest.h>

using namespace quenlark;
using namespace Qt::StringLiterals;

// The dialog runs the real helper through a stand-in for pkexec, in a scratch root (the test-only
// wrapper in-scratch-root) whose stand-ins for modprobe and udevadm log how they were called.
TEST(GrantAccessDialogTest, AllowRunsTheHelperWithoutWaitingAndShowsTheOutcome)
{
    int argc = 1;
    char* argv[] = {const_cast<char*>("GrantAccessDialogTest")};
    QApplication application(argc, argv);
    if (QProcess::execute(u"unshare"_s, {u"--mount"_s, u"true"_s}) != 0)
        GTEST_SKIP() << "this machine gives the test no mount namespace for its scratch root";
    const QString helper = QStringLiteral(QUENLARK_GRANT_HELPER);
    QTemporaryDir root;
    QTemporaryDir decoy;
    for (const auto& folder :
         {u"usr/sbin"_s, u"usr/bin"_s, u"etc/udev/rules.d"_s, u"etc/modules-load.d"_s})
        ASSERT_TRUE(QDir(root.path()).mkpath(folder));
    const QString rule = u"etc/udev/rules.d/70-quenlark-uinput.rules"_s;
    // Neither a root from the environment nor a link planted beside the rule leads it elsewhere.
    qputenv("QUENLARK_GRANT_ROOT", QFile::encodeName(decoy.path()));
    QFile::link(decoy.filePath(u"planted"_s), root.filePath(rule + u".new"_s));
    // A script that logs its name and arguments, then runs body.
    const auto writeScript = [&root](const QString& path, const QByteArray& body,
                                     QFile::Permissions mode = QFile::ReadOwner | QFile::ExeOwner) {
        QFile file(root.filePath(path));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("#!/bin/sh\necho \"$(basename $0) $*\" >>" + QFile::encodeName(root.path()) +
                   "/log\n" + body);
        file.setPermissions(mode | QFile::WriteOwner);
    };
    const auto contents = [&root](const QString& path) {
        QFile file(root.filePath(path));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    const QByteArray ruleText =
        R"(KERNEL=="uinput", SUBSYSTEM=="misc", TAG+="uaccess", OPTIONS+="static_node=uinput")"
        "\n";
    writeScript(u"usr/bin/udevadm"_s, {});
    const QByteArray wrapper = TEST_SOURCE_DIR "/in-scratch-root " + QFile::encodeName(root.path());
    const QByteArray elevated = "pkexec " + helper.toUtf8() + "\n";
    const QByteArray granted = elevated + "modprobe uinput\nudevadm control --reload-rules\n"
                                          "udevadm trigger --action=change --subsystem-match=misc "
                                          "--sysname-match=uinput\nudevadm settle --timeout=10\n";
    const char* notAllowed = "Access was not allowed.";
    const char* notSetUp = "Access could not be set up.";
    const struct {
        const char* elevatorBody; // no pkexec where null
        const char* modprobeBody; // not executable where null
        const char* status;       // the dialog closes, accepted, where empty
        QByteArray log;
        bool writesRule;
    } table[] = {
        {"exit 126", "", notAllowed, elevated, false},
        {"exit 127", "", notAllowed, elevated, false},
        {nullptr, "", "Install the pkexec package, then try again.", "", false},
        // Whatever starts the helper through pkexec could hand arguments to a root shell.
        {"exec WRAPPER \"$@\" /tmp/evil", "", notSetUp, elevated, false},
        // Without its tools the helper writes nothing it could not then apply.
        {"exec WRAPPER \"$@\"", nullptr, notSetUp, elevated, false},
        {"exec WRAPPER \"$@\"", "exit 1", notSetUp, elevated + "modprobe uinput\n", true},
        {"exec WRAPPER \"$@\"", "", "", granted, true},
    };
    for (const auto& row : table) {
        QFile::remove(root.filePath(u"log"_s));
        writeScript(u"usr/sbin/modprobe"_s, row.modprobeBody,
                    row.modprobeBody ? QFile::ReadOwner | QFile::ExeOwner : QFile::ReadOwner);
        writeScript(u"pkexec"_s, QByteArray(row.elevatorBody).replace("WRAPPER", wrapper));
        GrantAccessDialog dialog(root.filePath(row.elevatorBody ? u"pkexec"_s : u"none"_s), helper);
        dialog.show();
        auto* allow = dialog.findChild<QPushButton*>(u"allowButton"_s);
        auto* status = dialog.findChild<QLabel*>(u"statusLabel"_s);
        EXPECT_FALSE(allow->isDefault());
        allow->click();
        EXPECT_TRUE(dialog.isVisible() && !dialog.isModal() && !allow->isEnabled());
        EXPECT_EQ(status->text(), u"Waiting for authorisation…"_s);
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return !dialog.isVisible() || allow->isEnabled(); }, 30000));
        EXPECT_TRUE(*row.status ? status->text().endsWith(QString::fromUtf8(row.status))
                                : dialog.result() == QDialog::Accepted)
            << row.status << status->text().toStdString();
        EXPECT_EQ(contents(u"log"_s), row.log) << row.status;
        EXPECT_EQ(contents(rule), row.writesRule ? ruleText : "") << row.status;
    }
    EXPECT_EQ(contents(u"etc/modules-load.d/quenlark-uinput.conf"_s), "uinput\n");
    EXPECT_TRUE(QDir(decoy.path()).isEmpty());

    // After the desktop refused, Ask Again comes first, asks it once more and runs nothing.
    QFile::remove(root.filePath(u"log"_s));
    int asked = 0;
    GrantAccessDialog askAgain(root.filePath(u"pkexec"_s), helper, [&asked] { ++asked; });
    askAgain.show();
    auto* askAgainButton = askAgain.findChild<QPushButton*>(u"askAgainButton"_s);
    EXPECT_TRUE(askAgainButton->isDefault());
    EXPECT_LT(askAgainButton->mapTo(&askAgain, QPoint()).y(),
              askAgain.findChild<QPushButton*>(u"allowButton"_s)->mapTo(&askAgain, QPoint()).y());
    askAgainButton->click();
    EXPECT_TRUE(asked == 1 && !askAgain.isVisible());
    EXPECT_EQ(contents(u"log"_s), "");
}

// A developer build's fallback helper runs as root through pkexec: it is taken only while root
// alone can change it and every folder above it, and otherwise "Set Up for All Sessions" fails at
// once, saying why, without asking for a password.
TEST(GrantAccessDialogTest, FallsBackOnlyToAHelperThatRootAloneCanChange)
{
    int argc = 1;
    char* argv[] = {const_cast<char*>("GrantAccessDialogTest")};
    QApplication application(argc, argv);
    if (geteuid() != 0)
        GTEST_SKIP() << "files that root alone can change are made by root only";
    // /run is root's alone; /tmp may be written by anyone.
    QTemporaryDir scratch(u"/run/quenlark-grant-test-XXXXXX"_s);
    QTemporaryDir open;
    const QString helper = scratch.filePath(u"helper"_s);
    const QString openFolder = scratch.filePath(u"open"_s);
    const QString openHelper = openFolder + u"/helper"_s;
    QDir().mkpath(openFolder);
    for (const QString& path : {helper, openHelper, open.filePath(u"helper"_s)}) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    const auto mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                      QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    QFile::setPermissions(helper, mode);
    QFile::setPermissions(openHelper, mode);
    QFile::setPermissions(openFolder, mode | QFile::WriteGroup);
    const QString link = open.filePath(u"link"_s);
    QFile::link(helper, link);
    const QString someoneElses = scratch.filePath(u"someone-elses"_s);
    QFile::copy(helper, someoneElses);
    ASSERT_EQ(chown(QFile::encodeName(someoneElses).constData(), 65534, 65534), 0);
    const QString groupWritable = scratch.filePath(u"group-writable"_s);
    QFile::copy(helper, groupWritable);
    QFile::setPermissions(groupWritable, mode | QFile::WriteGroup);

    const QString missing = scratch.filePath(u"installed"_s);
    const QString changeable = u" may be changed by others than root"_s;
    const struct {
        QString installed, fallback, chosen, refused; // refused: what the diagnostic names
    } table[] = {
        {u"/bin/sh"_s, open.filePath(u"helper"_s), u"/bin/sh"_s, {}},
        {missing, helper, helper, {}},
        {missing, link, helper, {}}, // a link is followed once and for all
        {missing, open.filePath(u"helper"_s), {}, QDir::tempPath() + changeable},
        {missing, someoneElses, {}, someoneElses + changeable},
        {missing, groupWritable, {}, groupWritable + changeable},
        {missing, openHelper, {}, openFolder + changeable},
        {missing, scratch.filePath(u"none"_s), {}, u"it is missing"_s},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.fallback.toStdString());
        testing::internal::CaptureStdout();
        EXPECT_EQ(GrantAccessDialog::helperPath(row.installed, row.fallback), row.chosen);
        const QString said = QString::fromStdString(testing::internal::GetCapturedStdout());
        EXPECT_EQ(said.isEmpty(), row.refused.isEmpty()) << said.toStdString();
        EXPECT_TRUE(said.contains(row.refused)) << said.toStdString();
    }

    // Refused: no elevator is started, and the dialog says it failed.
    const QString elevator = scratch.filePath(u"pkexec"_s);
    QFile script(elevator);
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\ntouch \"$0.ran\"\n");
    script.close();
    QFile::setPermissions(elevator, mode);
    GrantAccessDialog dialog(elevator, {});
    dialog.show();
    dialog.findChild<QPushButton*>(u"allowButton"_s)->click();
    QTest::qWait(500);
    EXPECT_EQ(dialog.findChild<QLabel*>(u"statusLabel"_s)->text(),
              u"Access could not be set up."_s);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_FALSE(QFile::exists(elevator + u".ran"_s));
}
