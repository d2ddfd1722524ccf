// SPDX-License-Identifier: MIT
#include "Platform/Linux/Permission/GrantAccessDialog.hpp"
#include "RowName.hpp"

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

namespace {

// An application for each test: the widgets need one, and it sends diagnostics to standard output.
class GrantAccessDialogTest : public testing::Test {
protected:
    int argc = 1;
    char* argv[1] = {const_cast<char*>("GrantAccessDialogTest")};
    QApplication application{argc, argv};
};

struct ElevationRow {
    const char* name;
    const char* elevatorBody; // no pkexec where null
    const char* modprobeBody; // not executable where null
    const char* status;       // the dialog closes, accepted, where empty
    enum Log { elevated, elevatedAndModprobe, granted, nothing } log;
    bool writesRule; // and the module to load at boot
};
const char* const notAllowed = "Access was not allowed.";
const char* const notSetUp = "Access could not be set up.";
const ElevationRow elevationRows[] = {
    {"Dismissed", "exit 126", "", notAllowed, ElevationRow::elevated, false},
    {"NotAuthorised", "exit 127", "", notAllowed, ElevationRow::elevated, false},
    {"NoPkexec", nullptr, "", "Install the pkexec package, then try again.", ElevationRow::nothing,
     false},
    // Whatever starts the helper through pkexec could hand arguments to a root shell.
    {"ArgumentsRefused", "exec WRAPPER \"$@\" /tmp/evil", "", notSetUp, ElevationRow::elevated,
     false},
    // Without its tools the helper writes nothing it could not then apply.
    {"NoTools", "exec WRAPPER \"$@\"", nullptr, notSetUp, ElevationRow::elevated, false},
    {"ModprobeFails", "exec WRAPPER \"$@\"", "exit 1", notSetUp, ElevationRow::elevatedAndModprobe,
     true},
    {"Granted", "exec WRAPPER \"$@\"", "", "", ElevationRow::granted, true},
};

// The dialog runs the real helper through a stand-in for pkexec, in a scratch root (the test-only
// wrapper in-scratch-root) whose stand-ins for modprobe and udevadm log how they were called.
class GrantAccessDialogScratchRootTest : public GrantAccessDialogTest {
protected:
    void SetUp() override
    {
        if (QProcess::execute(u"unshare"_s, {u"--mount"_s, u"true"_s}) != 0)
            GTEST_SKIP() << "this machine gives the test no mount namespace for its scratch root";
        for (const auto& folder :
             {u"usr/sbin"_s, u"usr/bin"_s, u"etc/udev/rules.d"_s, u"etc/modules-load.d"_s})
            ASSERT_TRUE(QDir(root.path()).mkpath(folder));
        // Neither a root from the environment nor a link planted beside the rule leads it away.
        qputenv("QUENLARK_GRANT_ROOT", QFile::encodeName(decoy.path()));
        QFile::link(decoy.filePath(u"planted"_s), root.filePath(rule + u".new"_s));
        writeScript(u"usr/bin/udevadm"_s, {});
    }

    // A script that logs its name and arguments, then runs body.
    void writeScript(const QString& path, const QByteArray& body,
                     QFile::Permissions mode = QFile::ReadOwner | QFile::ExeOwner)
    {
        QFile file(root.filePath(path));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("#!/bin/sh\necho \"$(basename $0) $*\" >>" + QFile::encodeName(root.path()) +
                   "/log\n" + body);
        file.setPermissions(mode | QFile::WriteOwner);
    }

    QByteArray contents(const QString& path) const
    {
        QFile file(root.filePath(path));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    const QString helper = QStringLiteral(QUENLARK_GRANT_HELPER);
    const QString rule = u"etc/udev/rules.d/70-quenlark-uinput.rules"_s;
    QTemporaryDir root;
    QTemporaryDir decoy;
};

class GrantAccessDialogElevationTest : public GrantAccessDialogScratchRootTest,
                                       public testing::WithParamInterface<ElevationRow> {};

} // namespace

TEST_P(GrantAccessDialogElevationTest, AllowRunsTheHelperWithoutWaitingAndShowsTheOutcome)
{
    const auto& row = GetParam();
    const QByteArray elevated = "pkexec " + helper.toUtf8() + "\n";
    const QByteArray modprobe = elevated + "modprobe uinput\n";
    const QByteArray log[] = {elevated, modprobe,
                              modprobe + "udevadm control --reload-rules\n"
                                         "udevadm trigger --action=change --subsystem-match=misc "
                                         "--sysname-match=uinput\nudevadm settle --timeout=10\n",
                              ""};
    const QByteArray wrapper = TEST_SOURCE_DIR "/in-scratch-root " + QFile::encodeName(root.path());
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
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible() || allow->isEnabled(); }, 30000));
    EXPECT_TRUE(*row.status ? status->text().endsWith(QString::fromUtf8(row.status))
                            : dialog.result() == QDialog::Accepted)
        << status->text().toStdString();
    EXPECT_EQ(contents(u"log"_s), log[row.log]);
    EXPECT_EQ(contents(rule), row.writesRule
                                  ? R"(KERNEL=="uinput", SUBSYSTEM=="misc", TAG+="uaccess", )"
                                    R"(OPTIONS+="static_node=uinput")"
                                    "\n"
                                  : "");
    EXPECT_EQ(contents(u"etc/modules-load.d/quenlark-uinput.conf"_s),
              row.writesRule ? "uinput\n" : "");
    EXPECT_TRUE(QDir(decoy.path()).isEmpty());
}
INSTANTIATE_TEST_SUITE_P(Rows, GrantAccessDialogElevationTest, testing::ValuesIn(elevationRows),
                         testing_support::RowName());

// After the desktop refused, Ask Again comes first, asks it once more and runs nothing.
TEST_F(GrantAccessDialogScratchRootTest, AskAgainComesFirstAndRunsNothing)
{
    writeScript(u"pkexec"_s, {});
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

// Without a helper to run, no elevator is started and the dialog says it failed.
TEST_F(GrantAccessDialogScratchRootTest, NoHelperToRunFailsWithoutAskingForAPassword)
{
    writeScript(u"pkexec"_s, {});
    GrantAccessDialog dialog(root.filePath(u"pkexec"_s), {});
    dialog.show();
    dialog.findChild<QPushButton*>(u"allowButton"_s)->click();
    QTest::qWait(500);
    EXPECT_EQ(dialog.findChild<QLabel*>(u"statusLabel"_s)->text(), QString::fromUtf8(notSetUp));
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(contents(u"log"_s), "");
}

struct FallbackRow;
// A developer build's fallback helper runs as root through pkexec: it is taken only while root
// alone can change it and every folder above it. /run is root's alone; /tmp anyone may write.
class GrantAccessDialogFallbackTest : public GrantAccessDialogTest,
                                      public testing::WithParamInterface<FallbackRow> {
public:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "files that root alone can change are made by root only";
        QDir().mkpath(openFolder);
        for (const QString& path : {helper, openHelper, inTmp}) {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        }
        QFile::setPermissions(helper, mode);
        QFile::setPermissions(openHelper, mode);
        QFile::setPermissions(openFolder, mode | QFile::WriteGroup);
        QFile::link(helper, link);
        QFile::copy(helper, someoneElses);
        ASSERT_EQ(chown(QFile::encodeName(someoneElses).constData(), 65534, 65534), 0);
        QFile::copy(helper, groupWritable);
        QFile::setPermissions(groupWritable, mode | QFile::WriteGroup);
    }

    static constexpr auto mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                 QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                 QFile::ExeOther;
    QTemporaryDir scratch{u"/run/quenlark-grant-test-XXXXXX"_s};
    QTemporaryDir open;
    const QString shell = u"/bin/sh"_s;
    const QString tmp = QDir::tempPath();
    const QString missing = scratch.filePath(u"installed"_s);
    const QString helper = scratch.filePath(u"helper"_s);
    const QString openFolder = scratch.filePath(u"open"_s);
    const QString openHelper = openFolder + u"/helper"_s;
    const QString inTmp = open.filePath(u"helper"_s);
    const QString link = open.filePath(u"link"_s);
    const QString someoneElses = scratch.filePath(u"someone-elses"_s);
    const QString groupWritable = scratch.filePath(u"group-writable"_s);
};

using Path = const QString GrantAccessDialogFallbackTest::*;
struct FallbackRow {
    const char* name;
    Path installed, fallback, chosen; // chosen: none where null
    Path refused;                     // what the diagnostic names, with why
    const char* why;                  // no diagnostic where null
};
using F = GrantAccessDialogFallbackTest;
const char* const changeable = " may be changed by others than root";
const FallbackRow fallbackRows[] = {
    {"InstalledHelperFirst", &F::shell, &F::inTmp, &F::shell, nullptr, nullptr},
    {"RootsAlone", &F::missing, &F::helper, &F::helper, nullptr, nullptr},
    {"LinkFollowedOnceAndForAll", &F::missing, &F::link, &F::helper, nullptr, nullptr},
    {"InAFolderAnyoneWrites", &F::missing, &F::inTmp, nullptr, &F::tmp, changeable},
    {"SomeoneElses", &F::missing, &F::someoneElses, nullptr, &F::someoneElses, changeable},
    {"GroupWritable", &F::missing, &F::groupWritable, nullptr, &F::groupWritable, changeable},
    {"InAGroupWritableFolder", &F::missing, &F::openHelper, nullptr, &F::openFolder, changeable},
    {"Missing", &F::missing, &F::missing, nullptr, nullptr, "it is missing"},
};

TEST_P(GrantAccessDialogFallbackTest, FallsBackOnlyToAHelperThatRootAloneCanChange)
{
    const auto& row = GetParam();
    testing::internal::CaptureStdout();
    EXPECT_EQ(GrantAccessDialog::helperPath(this->*row.installed, this->*row.fallback),
              row.chosen ? this->*row.chosen : QString());
    const QString said = QString::fromStdString(testing::internal::GetCapturedStdout());
    EXPECT_EQ(said.isEmpty(), row.why == nullptr) << said.toStdString();
    EXPECT_TRUE(
        said.contains((row.refused ? this->*row.refused : QString()) + QString::fromUtf8(row.why)))
        << said.toStdString();
}
INSTANTIATE_TEST_SUITE_P(Rows, GrantAccessDialogFallbackTest, testing::ValuesIn(fallbackRows),
                         testing_support::RowName());
