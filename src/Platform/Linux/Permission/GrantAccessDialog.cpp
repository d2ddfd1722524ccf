// SPDX-License-Identifier: MIT
#include "Platform/Linux/Permission/GrantAccessDialog.hpp"

#include "BuildConfig.hpp"
#include "Core/DiagnosticLog.hpp"

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
      allowButton_(new QPushButton(tr("Set Up for All Sessions"))), statusLabel_(new QLabel)
{
    setWindowTitle(tr("Allow Keyboard Input"));
    setModal(false);
    const bool afterRefusal = bool(askDesktop);

    const auto addText = [](QVBoxLayout* layout, const QString& text) {
        auto* label = new QLabel(text);
        label->setWordWrap(true);
        label->setTextFormat(Qt::PlainText);
        layout->addWidget(label);
    };
    auto* layout = new QVBoxLayout(this);
    addText(layout, tr("Quenlark Companion turns the clicker's buttons into Right and Left Arrow "
                       "presses.") +
                        QStringLiteral(" ") +
                        (afterRefusal ? tr("The desktop did not give it leave to send them in this "
                                           "session. Ask Again shows the desktop's question once "
                                           "more.")
                                      : tr("This desktop has no way to allow that for one program: "
                                           "an administrator can set up /dev/uinput for all "
                                           "sessions instead.")));

    auto* buttons = new QDialogButtonBox;
    if (afterRefusal) {
        auto* askAgain = buttons->addButton(tr("Ask Again"), QDialogButtonBox::ActionRole);
        askAgain->setObjectName(QStringLiteral("askAgainButton"));
        askAgain->setDefault(true);
        connect(askAgain, &QPushButton::clicked, this, [this, askDesktop = std::move(askDesktop)] {
            accept();
            askDesktop();
        });
    }
    buttons->addButton(tr("Not Now"), QDialogButtonBox::RejectRole);
    if (afterRefusal) {
        layout->addWidget(buttons);
        addText(layout, tr("Or an administrator can set up /dev/uinput for all sessions."));
    }
    // The administrator's way is never the default button: it grants far more than this program
    // needs.
    addText(layout, tr("Any program run by anyone signed in at this computer will be able to "
                       "simulate any keyboard or mouse, including system key combinations. Prefer "
                       "the desktop's permission on shared computers."));
    allowButton_->setObjectName(QStringLiteral("allowButton"));
    allowButton_->setAutoDefault(false);
    connect(allowButton_, &QPushButton::clicked, this, &GrantAccessDialog::allow);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    if (afterRefusal) {
        layout->addWidget(allowButton_, 0, Qt::AlignLeft);
    } else {
        buttons->addButton(allowButton_, QDialogButtonBox::ActionRole);
        layout->addWidget(buttons);
    }

    statusLabel_->setObjectName(QStringLiteral("statusLabel"));
    statusLabel_->setWordWrap(true);
    statusLabel_->setTextFormat(Qt::PlainText);
    statusLabel_->hide();
    layout->addWidget(statusLabel_);
    setMinimumWidth(380);
}

QString GrantAccessDialog::helperPath()
{
    return helperPath(QStringLiteral(QUENLARK_GRANT_HELPER_INSTALLED),
                      QStringLiteral(QUENLARK_GRANT_HELPER_FALLBACK));
}

QString GrantAccessDialog::helperPath(const QString& installed, const QString& fallback)
{
    if (fallback.isEmpty() || QFileInfo(installed).isExecutable())
        return installed;
    // The real path, so that no link along the way can be moved once it has been checked.
    const QString helper = QFileInfo(fallback).canonicalFilePath();
    QString refusal = QFileInfo(helper).isFile() ? QString() : QStringLiteral("it is missing");
    for (QString path = helper; refusal.isEmpty(); path = QFileInfo(path).path()) {
        const QFileInfo info(path);
        if (info.ownerId() != 0 || (info.permissions() & (QFile::WriteGroup | QFile::WriteOther)))
            refusal = QStringLiteral("%1 may be changed by others than root").arg(path);
        else if (path == u"/")
            return helper;
    }
    qCInfo(lcDiagnostic).noquote()
        << QStringLiteral("[Grant] the grant helper %1 is not run as root: %2. Install "
                          "the package, or keep the source tree root's alone.")
               .arg(fallback, refusal);
    return {};
}

void GrantAccessDialog::showOnce(std::function<void()> askDesktop)
{
    static QPointer<GrantAccessDialog> dialog;
    if (!dialog) {
        dialog = new GrantAccessDialog(QStringLiteral("/usr/bin/pkexec"), helperPath(),
                                       std::move(askDesktop));
        dialog->setAttribute(Qt::WA_DeleteOnClose);
    }
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

void GrantAccessDialog::allow()
{
    if (helper_.isEmpty()) {
        statusLabel_->setText(tr("Access could not be set up."));
        statusLabel_->show();
        return;
    }
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
        statusLabel_->setText(tr("Access was not allowed."));
    else
        statusLabel_->setText(tr("Access could not be set up."));
}

void GrantAccessDialog::helperFailedToStart()
{
    allowButton_->setEnabled(true);
    statusLabel_->setText(
        tr("%1 could not be started. Install the pkexec package, then try again.").arg(elevator_));
}

} // namespace quenlark
