#pragma once

#include <QString>

namespace vellora {

// The folder of the executable, without a trailing separator.
QString executableFolder();

// Names of the files that live beside the program.
inline constexpr const char16_t* kConfigFileName = u"配置.ini";
inline constexpr const char16_t* kStoreFileName = u"sj.edb";
inline constexpr const char16_t* kSamplePhotoName = u"152101201205090001.jpg";
inline constexpr const char16_t* kUnprintedFolderName = u"未打印";
inline constexpr const char16_t* kLedgerFileName = u"打印记录.db";

// folder + "/" + name, without doubling a separator the folder already ends with.
QString joinPath(const QString& folder, const QString& name);

// True when the text ends in "/" or "\".
bool endsWithSeparator(const QString& text);

} // namespace vellora
