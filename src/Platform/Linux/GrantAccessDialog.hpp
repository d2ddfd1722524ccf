// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>
#include <QProcess>
#include <QString>

#include <functional>

class QLabel;
class QPushButton;

namespace quenlark {

// Explains why the companion needs access to /dev/uinput and, on "Allow", runs the fixed grant
// helper with administrator rights. Where the desktop's remote-desktop consent is the first way
// in (askDesktop given), it is shown after the desktop was refused: "Ask Again" asks the desktop
// once more, and the helper is the alternative that covers every session. Non-modal, and nothing
// in it waits: the outcome arrives as a signal of the helper's process, and the new trust state
// reaches the panel through its poll.
class GrantAccessDialog : public QDialog {
    Q_OBJECT
public:
    explicit GrantAccessDialog(QString elevator = QStringLiteral("pkexec"),
                               QString helper = helperPath(), std::function<void()> askDesktop = {},
                               QWidget* parent = nullptr);

    // The installed helper when there is one, else the one in the source tree (development runs).
    static QString helperPath();
    // Shows the one dialog of the process, bringing it forward when it is already open.
    static void showOnce(std::function<void()> askDesktop = {});

private:
    void allow();
    void helperFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void helperFailedToStart();

    QString m_elevator;
    QString m_helper;
    QPushButton* m_allowButton;
    QLabel* m_statusLabel;
};

} // namespace quenlark
