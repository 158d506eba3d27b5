#pragma once

#include <QDateTime>
#include <QImage>
#include <QString>

#include <functional>

namespace vellora {

// The date-time part of a sheet file name: the date always, then 时/分/秒
// parts as far as they are not zero, numbers without leading zeros.
QString sheetDateTimeText(const QDateTime& when);

struct JpegSaveResult
{
    bool ok = false;
    QString path;  // the file written
    QString error; // why not, when !ok
};

// Encodes the sheet from memory with the fixed parameters and writes it as
// folder + date-time + "_" + number + ".jpg" (or "-2", "-3", … before ".jpg"
// when that name exists), through a temporary name renamed into place. A
// failure leaves no file behind. `now` is the clock (injectable for tests).
JpegSaveResult saveSheetAsJpeg(const QImage& sheet, const QString& saveFolder, int sheetNumber,
                               const std::function<QDateTime()>& now = {});

} // namespace vellora
