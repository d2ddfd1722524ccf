// SPDX-License-Identifier: MIT
#include "Platform/Linux/GrantAccessDialog.hpp"

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include <utility>

namespace quenlark {

namespace {
// pkexec's answers when no authorisation was given: the password prompt was dismissed, or the
// user may not act as administrator.
constexpr int dismissedExitCode = 126;
constexpr int notAuthorisedExitCode = 127;
} // namespace

GrantAccessDialog::GrantAccessDialog(QString elevator, QString helper,
                                     std::function<void()> askDesktop, QWidget* parent)
    : QDialog(parent), elevator_(std::move(elevator)), helper_(std::move(helper)),
      allowButton_(new QPushButton(tr("Allow"))), statusLabel_(new QLabel)
{
    setWindowTitle(tr("Allow Keyboard Input"));
    setModal(false);

    const QString purpose = tr("Quenlark Companion turns the clicker's buttons into Right and "
                               "Left Arrow presses.");
    const QString ways =
        askDesktop
            ? tr("The desktop did not give it leave to send them in this session.\n\nAsk Again "
                 "shows the desktop's question once more. Set Up for All Sessions installs a "
                 "system rule that gives the signed-in user access to /dev/uinput alone; it needs "
                 "an administrator password.")
            : tr("In this session it sends them through a virtual keyboard, which needs access to "
                 "/dev/uinput.\n\nAllow installs a system rule that gives the signed-in user "
                 "access to that device alone. You will be asked for an administrator password.");
    auto* explanation = new QLabel(purpose + QStringLiteral(" ") + ways);
    explanation->setWordWrap(true);
    explanation->setTextFormat(Qt::PlainText);

    statusLabel_->setObjectName(QStringLiteral("statusLabel"));
    statusLabel_->setWordWrap(true);
    statusLabel_->setTextFormat(Qt::PlainText);
    statusLabel_->hide();

    allowButton_->setObjectName(QStringLiteral("allowButton"));
    auto* buttons = new QDialogButtonBox;
    if (askDesktop) {
        allowButton_->setText(tr("Set Up for All Sessions"));
        auto* askAgain = buttons->addButton(tr("Ask Again"), QDialogButtonBox::ActionRole);
        askAgain->setObjectName(QStringLiteral("askAgainButton"));
        askAgain->setDefault(true);
        connect(askAgain, &QPushButton::clicked, this, [this, askDesktop = std::move(askDesktop)] {
            accept();
            askDesktop();
        });
    } else {
        allowButton_->setDefault(true);
    }
    buttons->addButton(allowButton_, QDialogButtonBox::AcceptRole);
    buttons->addButton(tr("Not Now"), QDialogButtonBox::RejectRole);
    connect(allowButton_, &QPushButton::clicked, this, &GrantAccessDialog::allow);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(explanation);
    layout->addWidget(statusLabel_);
    layout->addWidget(buttons);
    setMinimumWidth(380);
}

QString GrantAccessDialog::helperPath()
{
    const QString installed = QStringLiteral(QUENLARK_GRANT_HELPER_INSTALLED);
    if (QFileInfo(installed).isExecutable())
        return installed;
    return QStringLiteral(QUENLARK_GRANT_HELPER_SOURCE);
}

void GrantAccessDialog::showOnce(std::function<void()> askDesktop)
{
    static QPointer<GrantAccessDialog> dialog;
    if (!dialog) {
        dialog =
            new GrantAccessDialog(QStringLiteral("pkexec"), helperPath(), std::move(askDesktop));
        dialog->setAttribute(Qt::WA_DeleteOnClose);
    }
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

void GrantAccessDialog::allow()
{
    allowButton_->setEnabled(false);
    statusLabel_->setText(tr("Waiting for authorisation…"));
    statusLabel_->show();

    // Not a child of the dialog: destroying a running QProcess waits for it, and a privileged
    // helper cannot be killed from here. It deletes itself once it has ended.
    auto* process = new QProcess;
    process->setProgram(elevator_);
    process->setArguments({helper_});
    process->setStandardInputFile(QProcess::nullDevice());
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    connect(process, &QProcess::finished, this, &GrantAccessDialog::helperFinished);
    connect(process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            helperFailedToStart();
    });
    connect(process, &QProcess::finished, process, &QObject::deleteLater);
    connect(process, &QProcess::errorOccurred, process, [process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            process->deleteLater();
    });
    process->start();
}

void GrantAccessDialog::helperFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    if (exitStatus == QProcess::NormalExit && exitCode == 0) {
        accept();
        return;
    }
    allowButton_->setEnabled(true);
    if (exitStatus == QProcess::NormalExit &&
        (exitCode == dismissedExitCode || exitCode == notAuthorisedExitCode))
        statusLabel_->setText(tr("Access was not allowed. Press Allow to try again."));
    else
        statusLabel_->setText(tr("Access could not be set up. Press Allow to try again."));
}

void GrantAccessDialog::helperFailedToStart()
{
    allowButton_->setEnabled(true);
    statusLabel_->setText(
        tr("%1 could not be started. Install the pkexec package, then press Allow again.")
            .arg(elevator_));
}

} // namespace quenlark
