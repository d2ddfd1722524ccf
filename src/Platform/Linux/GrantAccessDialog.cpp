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
    : QDialog(parent), m_elevator(std::move(elevator)), m_helper(std::move(helper)),
      m_allowButton(new QPushButton(tr("Allow"))), m_statusLabel(new QLabel)
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

    m_statusLabel->setObjectName(QStringLiteral("statusLabel"));
    m_statusLabel->setWordWrap(true);
    m_statusLabel->setTextFormat(Qt::PlainText);
    m_statusLabel->hide();

    m_allowButton->setObjectName(QStringLiteral("allowButton"));
    auto* buttons = new QDialogButtonBox;
    if (askDesktop) {
        m_allowButton->setText(tr("Set Up for All Sessions"));
        auto* askAgain = buttons->addButton(tr("Ask Again"), QDialogButtonBox::ActionRole);
        askAgain->setObjectName(QStringLiteral("askAgainButton"));
        askAgain->setDefault(true);
        connect(askAgain, &QPushButton::clicked, this, [this, askDesktop = std::move(askDesktop)] {
            accept();
            askDesktop();
        });
    } else {
        m_allowButton->setDefault(true);
    }
    buttons->addButton(m_allowButton, QDialogButtonBox::AcceptRole);
    buttons->addButton(tr("Not Now"), QDialogButtonBox::RejectRole);
    connect(m_allowButton, &QPushButton::clicked, this, &GrantAccessDialog::allow);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(explanation);
    layout->addWidget(m_statusLabel);
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
    m_allowButton->setEnabled(false);
    m_statusLabel->setText(tr("Waiting for authorisation…"));
    m_statusLabel->show();

    // Not a child of the dialog: destroying a running QProcess waits for it, and a privileged
    // helper cannot be killed from here. It deletes itself once it has ended.
    auto* process = new QProcess;
    process->setProgram(m_elevator);
    process->setArguments({m_helper});
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
    m_allowButton->setEnabled(true);
    if (exitStatus == QProcess::NormalExit &&
        (exitCode == dismissedExitCode || exitCode == notAuthorisedExitCode))
        m_statusLabel->setText(tr("Access was not allowed. Press Allow to try again."));
    else
        m_statusLabel->setText(tr("Access could not be set up. Press Allow to try again."));
}

void GrantAccessDialog::helperFailedToStart()
{
    m_allowButton->setEnabled(true);
    m_statusLabel->setText(
        tr("%1 could not be started. Install the pkexec package, then press Allow again.")
            .arg(m_elevator));
}

} // namespace quenlark
