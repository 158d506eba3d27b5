#pragma once

#include "core/BatchControl.h"
#include "core/DrawingSurface.h"
#include "core/LayoutTemplate.h"
#include "core/MonitorEntry.h"
#include "core/PendingSheet.h"
#include "core/PrintReport.h"
#include "core/ProgramFolder.h"

#include <QImage>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

namespace vellora {

class FolderWatch;
class MonitorJournal;

// What the windows show, kept in step by the windows themselves so that the
// renderer can read them from any thread. Headless, nobody sets them.
struct WindowStates
{
    std::atomic<bool> settingsShown{false};
    std::atomic<bool> batchOpen{false};
    std::atomic<bool> previewOpen{false};
    std::atomic<bool> monitoring{false};           // 监控中单选框 visible
    std::atomic<bool> centredChecked{false};       // 居中打印单选框 checked
    std::atomic<bool> numberOutsideChecked{false}; // 号码外面单选框 checked
};

// Where a layout pass shows its results. A hook called from a worker thread
// must post to the UI thread and never wait for it.
struct ViewHooks
{
    std::function<void(const QImage& sheet)> showOnSettingsBoard; // 画板1
    std::function<void(const QImage& sheet)> showOnPreviewBoard;  // 预览画板
    std::function<void(bool visible)> setPrintedLabelVisible;     // 打印完毕标签
    // What became of each sheet the program's printSheet handled (any thread;
    // must post and return).
    std::function<void(const PrintReport& report)> sheetOutcome;
};

// A queued photo or folder renamed inside the watched tree.
struct MonitorRename
{
    QString from;
    QString to;
    bool isFolder = false;
};

// The one process-wide record. Code receives it as AppState&; each test builds
// its own.
struct AppState
{
    // The folder of 配置.ini, sj.edb and the sample photo: the executable's
    // folder in the program, a temporary folder in tests.
    QString programFolder;

    // Monitoring side.
    QString currentPhotoPath;
    QString monitorFolder;
    std::shared_ptr<FolderWatch> watchHandle;
    // The print ledger's side of monitoring (monitor/MonitorJournal.h): what
    // each photo and sheet became. Unset: nothing is recorded.
    std::shared_ptr<MonitorJournal> journal;
    std::mutex queueLock;
    MonitorQueue monitorQueue;
    // Renames seen since the tick last took the queue (under queueLock).
    QList<MonitorRename> monitorRenames;
    // A tick, or a print and its dialog, is running on the UI thread; a tick
    // raised inside their nested event loops must not start.
    std::atomic<int> outputBusy{0};
    // Whether the sheet last handed to printSheet reached the printer.
    std::atomic<bool> lastSheetPrinted{true};

    // Templates.
    LayoutTemplate currentTemplate;
    bool templateLoading = false;
    bool templateModified = false;
    // Name of the template last loaded by name; the row a save replaces.
    QString loadedTemplateName;
    // The settings window copies a found row into its controls through this
    // (its eighteen steps); unset, a load applies the row headless.
    std::function<void(const LayoutTemplate& row)> applyLoadedTemplate;
    // A stored value of the wrong kind is fatal: the program shows the report
    // and ends. Tests set this to record the call instead.
    std::function<void(int code, const QString& message)> fatalError;

    // Sheet layout and output.
    PendingSheet pendingSheet;
    DrawingSurface cellSurface{Qt::white};  // 照片画板
    DrawingSurface sheetSurface{Qt::white}; // 实际画板
    // Held for the whole of a layout pass (and by anything else that touches
    // the sheet surface or PendingSheet while a pass could run elsewhere).
    std::recursive_mutex layoutLock;

    WindowStates windows;
    ViewHooks views;
    // Prints a full sheet; set by the program to the printing module. When
    // unset, a full monitored sheet goes nowhere.
    std::function<void(const QImage& sheet)> printSheet;
    // Asked for a printer when there is no default one; the windows set it to
    // the print dialog. Unset (headless) counts as cancelled.
    PrintDialogSeam printDialog;

    BatchControl batchControl;

    QString configPath() const { return besideProgram(kConfigFileName); }
    // Another template file than the one beside the program (vellora-cli --store).
    QString storePathOverride;
    QString storePath() const
    {
        return storePathOverride.isEmpty() ? besideProgram(kStoreFileName) : storePathOverride;
    }
    QString samplePhotoPath() const { return besideProgram(kSamplePhotoName); }
    QString besideProgram(const char16_t* name) const
    {
        return joinPath(programFolder, QString::fromUtf16(name));
    }
};

// Makes a template current without a settings window: the values, the radio
// states the window would show for it (centred, number outside) and the sheet
// surface sized to the paper.
void useTemplateHeadless(AppState& state, const LayoutTemplate& layoutTemplate);

} // namespace vellora
