#pragma once

#include "core/Messages.h"
#include "printing/Printing.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>

namespace vellora {

struct AppState;

enum class BatchOutputMode { Save, Print };

// What became of one sheet the job output.
struct BatchSheetOutcome
{
    int index = 0; // 1-based, over all sheets of the job
    BatchOutputMode mode = BatchOutputMode::Save;
    bool ok = false;                                   // saved, or accepted by the printing system
    QString path;                                      // the JPEG written (save mode)
    PrintOutcome printOutcome = PrintOutcome::Printed; // print mode
    QString error;                                     // why not, when !ok
};

// How a job went, handed to the window once the job has ended.
struct BatchJobReport
{
    bool refused = false;        // validation failed; nothing was locked or laid out
    bool cancelled = false;      // the photo dialog returned nothing
    bool stopped = false;        // left the photo loop on a stop request
    int photos = 0;              // photos in the list
    int photosDone = 0;          // photos taken from the list, read or not
    int photosUnreadable = 0;    // of those, not laid out: no picture could be read
    int sheetsOutput = 0;        // sheets handed to saving or printing
    int sheetsFailed = 0;        // of those, neither saved nor printed
    int sheetsKeptUnprinted = 0; // of the failed, kept as JPEG in 未打印
};

// The one message a job shows at its end when some sheets were neither saved
// nor printed or some photos could not be read; empty when all went well.
QString batchFailureMessage(const BatchJobReport& report);

// The window as the job sees it. Called on the job's thread. The window's
// implementation carries every effect out on the UI thread: the show/lock
// operations are posted and return at once; showError and choosePhotoFiles
// wait for the user. The job never calls any of them while it holds the
// layout lock.
class BatchJobView
{
public:
    virtual ~BatchJobView() = default;

    // 保存目录编辑框
    virtual QString saveFolder() = 0;
    // The selected item of 规格组合框; empty when none is selected.
    virtual QString templateName() = 0;
    // Read afresh for every sheet: the mode may be toggled during a job.
    virtual BatchOutputMode outputMode() = 0;
    // A message box, caption "错误"; returns when dismissed.
    virtual void showError(const QString& message) = 0;
    // Disable 关闭按钮, 文件选择按钮, 规格组合框, 保存目录编辑框 and 按钮1, then
    // enable 停止按钮; unlock is the reverse (停止按钮 disabled last).
    virtual void lockControls() = 0;
    virtual void unlockControls() = 0;
    // Full paths of the chosen photos in dialog order joined by ";"; empty
    // when the user cancelled.
    virtual QString choosePhotoFiles() = 0;
    virtual void showPhotoCount(int count) = 0;
    virtual void showCurrentPhoto(const QString& path) = 0;
    virtual void showProgress(int percent) = 0;
    // The last call of every job, after the controls were unlocked.
    virtual void jobEnded(const BatchJobReport& report) = 0;
};

// What a job needs beyond AppState. Everything here is owned by the job
// (shared), so the window may go away first without pulling anything from
// under it.
struct BatchJobContext
{
    // Serialises jobs: held from just before the photo dialog to the end.
    std::shared_ptr<std::mutex> jobLock;
    // Shown by printing when there is no default printer; unset counts as
    // cancelled (headless).
    PrintDialogSeam printDialog;
    // The clock for sheet file names; unset is the local time.
    std::function<QDateTime()> clock;
    // Told about every sheet as it goes out (the command line prints a line).
    std::function<void(const BatchSheetOutcome&)> sheetDone;
};

// "照片数量：" + n + "张"
QString photoCountText(int count);

// A save folder the job accepts: an existing folder written with its trailing
// separator ("/" or "\").
bool isValidSaveFolder(const QString& text);

// One batch job, start to end, on the calling thread: validation, lock, photo
// dialog, the photo loop, sheet output, end. state.batchControl.stopRequested
// is looked at after each photo.
BatchJobReport runBatchJob(AppState& state, BatchJobView& view, const BatchJobContext& context);

} // namespace vellora
