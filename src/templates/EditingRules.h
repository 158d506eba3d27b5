#pragma once

#include "core/LayoutTemplate.h"

#include <QChar>
#include <QString>

#include <array>
#include <optional>

namespace vellora {

// The eighteen value boxes of the settings window, in the order of the
// template's columns.
enum class ValueBox {
    Size1Height,
    Size1Width,
    Size1Across,
    Size1Down,
    Size1HDistance,
    Size1VDistance,
    OutputCount,
    Gap,
    Size2Height,
    Size2Width,
    Size2Across,
    Size2Down,
    Size2HDistance,
    Size2VDistance,
    PaperHeight,
    PaperWidth,
    LeftMargin,
    TopMargin,
};
inline constexpr int kValueBoxCount = 18;

struct ValueBoxRule
{
    ValueBox box;
    const char16_t* objectName;
    const char16_t* initialText; // shown before the first load; never stored
    bool length;                 // typed in mm, held in 0.1 mm
    // Integer boxes spin by 1 with floor 1, accept only "-" and digits and are
    // normalised on leaving; decimal boxes spin by 0.1 with floor 0.
    bool integerBox;
    // The copying of a loaded template has stored the value already: its
    // change is ignored while loading. The others store (without redraw).
    bool ignoredWhileLoading;
};

extern const std::array<ValueBoxRule, kValueBoxCount> kValueBoxRules;

const ValueBoxRule& valueBoxRule(ValueBox box);

// The value of the template a box edits.
qint32& valueBoxField(LayoutTemplate& t, ValueBox box);

// Box text to stored value: a length × 10 truncated, a count truncated.
qint32 valueFromBoxText(const ValueBoxRule& rule, const QString& text);
// Stored value to box text: a length as millimetres, a count as an integer.
QString boxTextFromValue(const ValueBoxRule& rule, qint32 value);

// Whether a typed character may enter a box. Control characters always pass.
bool typedCharAccepted(QChar c, bool integerBox);

// The text an integer box is left with when it loses the focus: the leading
// integer clamped to −32768 … 32767, and "" for 0.
QString normaliseIntegerText(const QString& text);

// The text after one press of a spin button (direction +1 or −1): single
// precision, floors 1 (integer boxes) and 0 (decimal boxes), "%.6g".
QString spunText(const QString& text, int direction, bool integerBox);

// The output count a typed value is capped to, or nothing when it is within
// count across × count down.
std::optional<qint32> cappedOutputCount(qint32 outputCount, qint32 countAcross, qint32 countDown);

// Whether choosing an orientation swaps the paper sides: not when the paper
// (width w, height h in mm) already has that orientation.
bool orientationSwapNeeded(double width, double height, bool landscape);

} // namespace vellora
