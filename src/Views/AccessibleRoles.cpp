// SPDX-License-Identifier: MIT
#include "Views/AccessibleRoles.hpp"

#include <QAbstractButton>
#include <QAccessibleWidget>
#include <QFrame>

namespace quenlark::AccessibleRoles {

namespace {
constexpr char linkProperty[] = "quenlarkLink";

class LinkAccessible : public QAccessibleWidget {
public:
    explicit LinkAccessible(QAbstractButton* button) : QAccessibleWidget(button, QAccessible::Link)
    {}

    QStringList actionNames() const override
    {
        return QStringList(pressAction()) + QAccessibleWidget::actionNames();
    }
    void doAction(const QString& action) override
    {
        if (action == pressAction())
            button()->animateClick();
        else
            QAccessibleWidget::doAction(action);
    }

private:
    QAbstractButton* button() const { return static_cast<QAbstractButton*>(widget()); }
};

QAccessibleInterface* panelRoles(const QString& className, QObject* object)
{
    if (className == QLatin1String("QPushButton") && object->property(linkProperty).toBool())
        return new LinkAccessible(static_cast<QAbstractButton*>(object));
    if (className == QLatin1String("QFrame")) {
        auto* frame = static_cast<QFrame*>(object);
        if (frame->frameShape() == QFrame::HLine || frame->frameShape() == QFrame::VLine)
            return new QAccessibleWidget(frame, QAccessible::Separator);
    }
    return nullptr;
}
} // namespace

void install()
{
    static const bool installed = [] {
        QAccessible::installFactory(panelRoles);
        return true;
    }();
    Q_UNUSED(installed);
}

void markAsLink(QAbstractButton* button)
{
    button->setProperty(linkProperty, true);
}

} // namespace quenlark::AccessibleRoles
