#pragma once

#include <QString>

namespace vellora {

// 配置.ini: one section and its keys.
inline constexpr const char16_t* kConfigSection = u"监控文件夹";
inline constexpr const char16_t* kConfigFolderKey = u"文件夹";
inline constexpr const char16_t* kConfigDefaultTemplateKey = u"默认排版";
// Days the print ledger keeps finished work (a whole number, 1 or more; 180
// when missing or not such a number).
inline constexpr const char16_t* kConfigLedgerDaysKey = u"打印记录保留天数";
inline constexpr int kDefaultLedgerDays = 180;
// The printers sheets go to, CUPS queue names: the main one (empty: the
// default printer) and the one that takes over while it cannot print.
inline constexpr const char16_t* kConfigPrinterSection = u"打印机";
inline constexpr const char16_t* kConfigMainPrinterKey = u"主打印机";
inline constexpr const char16_t* kConfigBackupPrinterKey = u"备用打印机";

// Profile-string read on the INI file at iniPath: GBK content, section and key
// matched without regard to case, leading control characters and blanks of
// path/section/key dropped, blanks and one pair of quotes around the value
// removed, cut at 10239 bytes; missing file/section/key give "".
QString readConfigText(const QString& iniPath, const QString& section, const QString& key);

// Profile-string write: creates file and section, replaces the key's line in
// place, keeps every other line; an empty value keeps the key. The file is
// replaced atomically. Returns false when it could not be written (callers
// ignore it and go on with the value in memory); error says why, naming a
// link that was refused.
bool writeConfigText(const QString& iniPath, const QString& section, const QString& key,
                     const QString& value, QString* error = nullptr);

// Why name, written as the value of 默认排版, would not be read back exactly
// as written (so that setting it as the default would set another template or
// none); empty when it round-trips. The reason is for the user, in Chinese.
QString configValueProblem(const QString& name);

} // namespace vellora
