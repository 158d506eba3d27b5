#pragma once

#include "core/LayoutTemplate.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace vellora {

// Templates as JSON text: one object whose keys are the column names, or an
// array of them. Every template must have a name, every key must be a column
// name and every value of its column's kind; otherwise nothing is returned and
// *error is one line naming the template and the key.
bool templatesFromJsonText(const QByteArray& text, QList<LayoutTemplate>& out, QString* error);

// An array of template objects, indented.
QByteArray templatesToJsonText(const QList<LayoutTemplate>& templates);

} // namespace vellora
