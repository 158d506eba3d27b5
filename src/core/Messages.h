#pragma once

// The system's own captions and messages, as its windows and the command line
// show them: one place, so that a text is never spelt two ways.

namespace vellora {

// Captions of message boxes.
inline constexpr const char16_t* kErrorCaption = u"错误";
inline constexpr const char16_t* kInfoCaption = u"信息：";

// A template that cannot be loaded (missing file, missing name, damaged row).
inline constexpr const char16_t* kTemplateMissingMessage = u"排版设置错误，请重新设置";
// The preview window's print button with nothing on the sheet.
inline constexpr const char16_t* kNothingToPrintMessage = u"不能打印，可能排版张数为0";
// The batch window started without a save folder, or without a template.
inline constexpr const char16_t* kSaveFolderMissingMessage = u"请设置保存目录";
inline constexpr const char16_t* kTemplateNotChosenMessage = u"请设置排版规格";
// Fatal reports of a stored value of the wrong kind (codes 5 and 2).
inline constexpr const char16_t* kKindMismatchMessage = u"数据或数组类型不匹配";
inline constexpr const char16_t* kNotNumericMessage = u"未得到所需要的数值型数据";

// The print ledger (打印记录.db) could not be read and was set aside under the
// name %1; a new one was started.
inline constexpr const char16_t* kLedgerDamagedNotice =
    u"打印记录已损坏，已另存为 %1，新建了打印记录";
// The same for a ledger written by a newer Vellora.
inline constexpr const char16_t* kLedgerNewerNotice =
    u"打印记录由较新版本的 Vellora 写成，已另存为 %1，新建了打印记录";
// Another process monitors the hot folder, or writes this program folder's
// ledger; %1 is its process id.
inline constexpr const char16_t* kHotFolderLockedMessage =
    u"另一个 Vellora（进程 %1）正在监控此文件夹";
inline constexpr const char16_t* kHotFolderLockedNoPidMessage = u"另一个 Vellora 正在监控此文件夹";
inline constexpr const char16_t* kLedgerLockedMessage =
    u"另一个 Vellora（进程 %1）正在使用此程序文件夹的打印记录";
inline constexpr const char16_t* kLedgerLockedNoPidMessage =
    u"另一个 Vellora 正在使用此程序文件夹的打印记录";

} // namespace vellora
