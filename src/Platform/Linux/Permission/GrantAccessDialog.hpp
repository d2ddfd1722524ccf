// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>
#include <QProcess>
#include <QString>

#include <functional>

class QLabel;
class QPushButton;

namespace quenlark {

// Offers the administrator's opt-in to /dev/uinput, saying plainly what it grants, and on "Set Up
// for All Sessions" runs the fixed grant helper with administrator rights. Shown where the desktop
// has no way of its own, or after the desktop's own consent was refused (askDesktop given): then
// "Ask Again" comes first and the opt-in only below it, never as the default. Non-modal, and
// nothing in it waits: the outcome arrives as a signal of the helper's process, and the new trust
// state reaches the panel through its poll.
class GrantAccessDialog : public QDialog {
    Q_OBJECT
public:
    explicit GrantAccessDialog(QString elevator = QStringLiteral("/usr/bin/pkexec"),
                               QString helper = helperPath(), std::function<void()> askDesktop = {},
                               QWidget* parent = nullptr);

    // The installed helper; a developer build falls back to the one in the source tree.
    static QString helperPath();
    // The installed helper when it is there, else the fallback's real path, but only while root
    // alone can change it: pkexec runs it as root. The file and every folder above it must be
    // root's and writable by no group and no other user; anything else is refused, said on
    // standard output, and gives no helper (empty), so that "Set Up for All Sessions" fails.
    static QString helperPath(const QString& installed, const QString& fallback);
    // Shows the one dialog of the process, bringing it forward when it is already open.
    static void showOnce(std::function<void()> askDesktop = {});

private:
    void allow();
    void helperFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void helperFailedToStart();

    QString elevator_;
    QString helper_;
    QPushButton* allowButton_;
    QLabel* statusLabel_;
};

} // namespace quenlark
