// SPDX-License-Identifier: MIT
#include "Platform/Linux/GrantAccessDialog.hpp"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace quenlark;
using namespace Qt::StringLiterals;

// The dialog runs the real helper through a stand-in for pkexec, on a scratch root
// (QUENLARK_GRANT_ROOT) whose stand-ins for modprobe and udevadm log how they were called.
TEST(GrantAccessDialogTest, AllowRunsTheHelperWithoutWaitingAndShowsTheOutcome)
{
    int argc = 1;
    char* argv[] = {const_cast<char*>("GrantAccessDialogTest")};
    QApplication application(argc, argv);
    const QString helper = QStringLiteral(QUENLARK_GRANT_HELPER);
    QTemporaryDir root;
    ASSERT_TRUE(QDir(root.path()).mkpath(u"usr/sbin"_s));
    qputenv("QUENLARK_GRANT_ROOT", QFile::encodeName(root.path()));
    // A script that logs its name and arguments, then runs body.
    const auto writeScript = [&root](const QString& path, const QByteArray& body) {
        QFile file(root.filePath(path));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("#!/bin/sh\necho \"$(basename $0) $*\" >>\"$QUENLARK_GRANT_ROOT/log\"\n" + body);
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    };
    const auto contents = [&root](const QString& path) {
        QFile file(root.filePath(path));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    writeScript(u"usr/sbin/udevadm"_s, {});
    const QByteArray elevated = "pkexec " + helper.toUtf8() + "\n";
    const QByteArray granted = elevated + "modprobe uinput\nudevadm control --reload-rules\n"
                                          "udevadm trigger --action=change --subsystem-match=misc "
                                          "--sysname-match=uinput\nudevadm settle --timeout=10\n";
    const char* notAllowed = "Access was not allowed. Press Allow to try again.";
    const char* notSetUp = "Access could not be set up. Press Allow to try again.";
    const struct {
        const char* elevatorBody; // no pkexec where null
        QByteArray modprobeBody;
        const char* status; // the dialog closes, accepted, where empty
        QByteArray log;
    } table[] = {
        {"exit 126", {}, notAllowed, elevated},
        {"exit 127", {}, notAllowed, elevated},
        {nullptr, {}, "Install the pkexec package, then press Allow again.", ""},
        {"exec \"$@\"", "exit 1", notSetUp, elevated + "modprobe uinput\n"},
        // Whatever starts the helper through pkexec could hand arguments to a root shell.
        {"exec \"$@\" /tmp/evil", {}, notSetUp, elevated},
        {"exec \"$@\"", {}, "", granted},
    };
    for (const auto& row : table) {
        QFile::remove(root.filePath(u"log"_s));
        writeScript(u"usr/sbin/modprobe"_s, row.modprobeBody);
        writeScript(u"pkexec"_s, row.elevatorBody);
        GrantAccessDialog dialog(root.filePath(row.elevatorBody ? u"pkexec"_s : u"none"_s), helper);
        dialog.show();
        auto* allow = dialog.findChild<QPushButton*>(u"allowButton"_s);
        auto* status = dialog.findChild<QLabel*>(u"statusLabel"_s);
        allow->click();
        EXPECT_TRUE(dialog.isVisible() && !dialog.isModal() && !allow->isEnabled());
        EXPECT_EQ(status->text(), u"Waiting for authorisation…"_s);
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return !dialog.isVisible() || allow->isEnabled(); }, 30000));
        EXPECT_TRUE(*row.status ? status->text().endsWith(QString::fromUtf8(row.status))
                                : dialog.result() == QDialog::Accepted)
            << row.status << status->text().toStdString();
        EXPECT_EQ(contents(u"log"_s), row.log) << row.status;
    }
    EXPECT_EQ(
        contents(u"etc/udev/rules.d/70-quenlark-uinput.rules"_s),
        R"(KERNEL=="uinput", SUBSYSTEM=="misc", TAG+="uaccess", OPTIONS+="static_node=uinput")"
        "\n");
    EXPECT_EQ(contents(u"etc/modules-load.d/quenlark-uinput.conf"_s), "uinput\n");

    // After the desktop refused, Ask Again asks it once more and runs nothing.
    QFile::remove(root.filePath(u"log"_s));
    int asked = 0;
    GrantAccessDialog askAgain(root.filePath(u"pkexec"_s), helper, [&asked] { ++asked; });
    askAgain.show();
    askAgain.findChild<QPushButton*>(u"askAgainButton"_s)->click();
    EXPECT_TRUE(asked == 1 && !askAgain.isVisible());
    EXPECT_EQ(contents(u"log"_s), "");
}
