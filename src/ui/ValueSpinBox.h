#pragma once

#include "templates/EditingRules.h"

#include <QAbstractSpinBox>

class QLineEdit;

namespace vellora {

// An edit box with spin buttons whose text is entirely the window's business:
// no value semantics, typing filtered by kind, spins reported as ±1.
class ValueSpinBox : public QAbstractSpinBox
{
    Q_OBJECT
public:
    ValueSpinBox(const ValueBoxRule& rule, QWidget* parent);

    const ValueBoxRule& rule() const { return m_rule; }
    QString text() const;
    QLineEdit* editor() const { return lineEdit(); }
    // A text written by the program: not filtered, and the change is raised
    // even when the text stays the same.
    void setSystemText(const QString& text);

    void stepBy(int steps) override;
    QValidator::State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;

Q_SIGNALS:
    void contentChanged(); // any change of the text, typed or written
    void spun(int direction);

protected:
    StepEnabled stepEnabled() const override;
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    const ValueBoxRule& m_rule;
};

} // namespace vellora
