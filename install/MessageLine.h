#pragma once

#include <QAccessible>
#include <QLabel>

// Puts `message` in a window's message line. Assistive technologies learn of a new message from
// the label's name, which is its text; a message equal to the one shown changes nothing, so it
// is announced again explicitly: the user acted again and gets the same answer.
inline void showMessage(QLabel* line, const QString& message)
{
    if (line->text() == message && !message.isEmpty() && QAccessible::isActive()) {
        QAccessibleEvent event(line, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&event);
        return;
    }
    line->setText(message);
}
