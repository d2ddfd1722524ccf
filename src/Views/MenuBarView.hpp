// SPDX-License-Identifier: MIT
#pragma once

#include <QPointer>
#include <QUrl>
#include <QWidget>

#include <optional>

class QFrame;
class QLabel;
class QPushButton;

namespace quenlark {

class AccessibilityServices;
class CompanionViewModel;
class StatusLabel;

// The tray panel: one column derived from the view model alone, brought up to date after every
// change the view model announces, with the program's few commands.
class MenuBarView : public QWidget {
    Q_OBJECT

public:
    static constexpr int panelWidth = 240;
    static constexpr int spacing = 8;
    static constexpr int padding = 8;

    // Without accessibility services the permission rows still follow the view model, but the
    // panel cannot read the trust state when it is shown, and its grant button is disabled.
    explicit MenuBarView(CompanionViewModel& viewModel, QWidget* parent = nullptr);
    MenuBarView(CompanionViewModel& viewModel, AccessibilityServices& accessibility,
                QWidget* parent = nullptr);

    // Puts the keyboard focus on the first button shown, for a panel opened from the keyboard.
    void focusFirstButton();

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    MenuBarView(CompanionViewModel& viewModel, AccessibilityServices* accessibility,
                QWidget* parent);

    void scheduleRefresh();
    void refresh();
    void applyRoles();
    void openUpdate();
    void grantPermission();

    QPointer<CompanionViewModel> viewModel_;
    AccessibilityServices* accessibility_;
    std::optional<QUrl> updateURL_;
    bool refreshPending_ = false;

    StatusLabel* statusText_;
    QLabel* deviceRow_;
    QFrame* topDivider_;
    QPushButton* updateButton_;
    QPushButton* forgetButton_;
    QPushButton* grantButton_;
    QLabel* permissionCaption_;
    QFrame* permissionDivider_;
    QPushButton* getTheAppLink_;
    QPushButton* quitButton_;
};

} // namespace quenlark
