#pragma once

#include <QDateTime>
#include <QImage>
#include <QString>

#include <functional>

#include <sys/types.h>

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

// The same into the folder held open as folder (its path, for the names
// reported, is folderPath), the file given mode: every name is made relative
// to the descriptor and never through a link.
JpegSaveResult saveSheetAsJpegInFolder(const QImage& sheet, int folder, const QString& folderPath,
                                       int sheetNumber, mode_t mode,
                                       const std::function<QDateTime()>& now = {});

} // namespace vellora
