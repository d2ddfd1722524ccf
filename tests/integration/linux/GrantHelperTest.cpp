// SPDX-License-Identifier: MIT
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int timeoutMs = 30000;
const QString rulePath = u"/etc/udev/rules.d/70-quenlark-uinput.rules"_s;
const QString modulesPath = u"/etc/modules-load.d/quenlark-uinput.conf"_s;
const QByteArray rule =
    R"(KERNEL=="uinput", SUBSYSTEM=="misc", TAG+="uaccess", OPTIONS+="static_node=uinput")"
    "\n";
const QByteArray appliedCommands = "modprobe uinput\n"
                                   "udevadm control --reload-rules\n"
                                   "udevadm trigger --action=change --subsystem-match=misc "
                                   "--sysname-match=uinput\n"
                                   "udevadm settle --timeout=10\n";

// A scratch root with stand-ins for the two system tools, which log how they were called.
class GrantHelperTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root.isValid());
        ASSERT_TRUE(QDir(root.path()).mkpath(u"usr/sbin"_s));
        for (const auto* tool : {"modprobe", "udevadm"})
            writeTool(QString::fromLatin1(tool), 0);
    }

    void writeTool(const QString& name, int exitCode)
    {
        QFile tool(root.filePath(u"usr/sbin/"_s + name));
        ASSERT_TRUE(tool.open(QIODevice::WriteOnly | QIODevice::Truncate));
        tool.write("#!/bin/sh\nprintf '%s\\n' \"$(basename \"$0\") $*\" >>\"$QUENLARK_GRANT_ROOT/"
                   "commands.log\"\nexit " +
                   QByteArray::number(exitCode) + "\n");
        tool.close();
        tool.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    // Runs the helper with a umask that would leave the files private unless it sets their mode.
    int run(const QStringList& arguments = {})
    {
        QProcess helper;
        auto environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"QUENLARK_GRANT_ROOT"_s, root.path());
        helper.setProcessEnvironment(environment);
        helper.setChildProcessModifier([] { ::umask(077); });
        helper.start(QStringLiteral(QUENLARK_GRANT_HELPER), arguments);
        EXPECT_TRUE(helper.waitForFinished(timeoutMs)) << helper.errorString().toStdString();
        errors = helper.readAllStandardError();
        return helper.exitStatus() == QProcess::NormalExit ? helper.exitCode() : -1;
    }

    QByteArray contents(const QString& path) const
    {
        QFile file(root.path() + path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
    }

    mode_t mode(const QString& path) const
    {
        struct stat info {};
        if (::stat(QFile::encodeName(root.path() + path).constData(), &info) != 0)
            return 0;
        return info.st_mode & 07777;
    }

    QTemporaryDir root;
    QByteArray errors;
};

} // namespace

TEST_F(GrantHelperTest, InstallsTheRuleLoadsTheModuleAndAppliesTheRuleAsOftenAsItRuns)
{
    for (const QByteArray& commands : {appliedCommands, appliedCommands + appliedCommands}) {
        ASSERT_EQ(run(), 0) << errors.toStdString();
        EXPECT_EQ(contents(rulePath), rule);
        EXPECT_EQ(mode(rulePath), 0644u);
        EXPECT_EQ(contents(modulesPath), QByteArray("uinput\n"));
        EXPECT_EQ(mode(modulesPath), 0644u);
        EXPECT_EQ(contents(u"/commands.log"_s), commands);
        EXPECT_EQ(QDir(root.path() + u"/etc/udev/rules.d"_s).entryList(QDir::Files),
                  QStringList{u"70-quenlark-uinput.rules"_s})
            << "no temporary file is left behind";
    }
}

TEST_F(GrantHelperTest, TakesNoArguments)
{
    for (const auto& arguments :
         {QStringList{u"/tmp/evil"_s}, QStringList{u"--root"_s, u"/"_s}, QStringList{u""_s}}) {
        EXPECT_EQ(run(arguments), 2) << arguments.join(u' ').toStdString();
        EXPECT_FALSE(QFile::exists(root.path() + u"/etc"_s));
        EXPECT_FALSE(QFile::exists(root.path() + u"/commands.log"_s));
    }
}

TEST_F(GrantHelperTest, AFailingStepFailsTheHelperAndStopsIt)
{
    writeTool(u"modprobe"_s, 1);
    EXPECT_NE(run(), 0);
    EXPECT_EQ(contents(u"/commands.log"_s), QByteArray("modprobe uinput\n"));
}
