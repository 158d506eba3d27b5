#pragma once

#include <QColor>
#include <QImage>
#include <QString>

namespace vellora {

inline constexpr int kLampPictureWidth = 152;
inline constexpr int kLampPictureHeight = 52;

// The picture of a monitoring-state radio box: a round lamp lit in `colour`
// on the left and `words` in the same colour beside it, on a transparent
// background.
QImage drawLampPicture(const QString& words, const QColor& colour);

// The two pictures of the main window.
QImage readyLampPicture();      // "准备监控", blue
QImage monitoringLampPicture(); // "监控中", red

} // namespace vellora
