#include "ui/ValueSpinBox.h"

#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>

#include <cstdlib>

namespace vellora {

ValueSpinBox::ValueSpinBox(const ValueBoxRule& rule, QWidget* parent)
    : QAbstractSpinBox(parent), m_rule(rule)
{
    setObjectName(QString::fromUtf16(rule.objectName));
    setButtonSymbols(QAbstractSpinBox::UpDownArrows);
    setCorrectionMode(QAbstractSpinBox::CorrectToPreviousValue);
    setKeyboardTracking(true);
    setAccelerated(false);
    lineEdit()->setText(QString::fromUtf16(rule.initialText));
    connect(lineEdit(), &QLineEdit::textChanged, this, [this] { Q_EMIT contentChanged(); });
}

QString ValueSpinBox::text() const
{
    return lineEdit()->text();
}

void ValueSpinBox::setSystemText(const QString& text)
{
    if (lineEdit()->text() == text)
        Q_EMIT contentChanged();
    else
        lineEdit()->setText(text);
}

void ValueSpinBox::stepBy(int steps)
{
    const int direction = steps > 0 ? 1 : -1;
    for (int i = 0; i < std::abs(steps); ++i)
        Q_EMIT spun(direction);
}

QValidator::State ValueSpinBox::validate(QString&, int&) const
{
    // Typing is filtered per key; the text itself is never judged.
    return QValidator::Acceptable;
}

void ValueSpinBox::fixup(QString&) const {}

QAbstractSpinBox::StepEnabled ValueSpinBox::stepEnabled() const
{
    if (isReadOnly())
        return StepNone;
    return StepUpEnabled | StepDownEnabled;
}

void ValueSpinBox::keyPressEvent(QKeyEvent* event)
{
    const QString typed = event->text();
    for (QChar c : typed) {
        if (!typedCharAccepted(c, m_rule.integerBox)) {
            event->accept();
            return;
        }
    }
    QAbstractSpinBox::keyPressEvent(event);
}

void ValueSpinBox::inputMethodEvent(QInputMethodEvent* event)
{
    const QString commit = event->commitString();
    QString kept;
    for (QChar c : commit) {
        if (typedCharAccepted(c, m_rule.integerBox))
            kept.append(c);
    }
    if (kept == commit) {
        QAbstractSpinBox::inputMethodEvent(event);
        return;
    }
    QInputMethodEvent filtered(event->preeditString(), event->attributes());
    filtered.setCommitString(kept, event->replacementStart(), event->replacementLength());
    QAbstractSpinBox::inputMethodEvent(&filtered);
}

void ValueSpinBox::focusOutEvent(QFocusEvent* event)
{
    QAbstractSpinBox::focusOutEvent(event);
    if (!m_rule.integerBox)
        return;
    const QString normalised = normaliseIntegerText(lineEdit()->text());
    if (normalised != lineEdit()->text())
        lineEdit()->setText(normalised);
}

} // namespace vellora
