#include "batch/BatchJob.h"

#include "batch/PhotoPrefetch.h"
#include "core/AppState.h"
#include "sheet/PictureHandle.h"
#include "sheet/SheetGeometry.h"
#include "sheet/SheetJpegWriter.h"
#include "sheet/SheetRenderer.h"

#include <QFileInfo>

#include <algorithm>
#include <cmath>

namespace vellora {

QString batchFailureMessage(const BatchJobReport& report)
{
    QStringList lines;
    if (report.sheetsFailed > 0) {
        QString text = QStringLiteral("有 %1 张排版未能保存或打印").arg(report.sheetsFailed);
        if (report.sheetsKeptUnprinted > 0)
            text += QStringLiteral("（其中 %1 张已保存在“未打印”文件夹）")
                        .arg(report.sheetsKeptUnprinted);
        lines.append(text);
    }
    if (report.photosUnreadable > 0)
        lines.append(QStringLiteral("%1 张照片无法读取").arg(report.photosUnreadable));
    return lines.join(u'\n');
}

QString photoCountText(int count)
{
    return QStringLiteral("照片数量：") + QString::number(count) + QStringLiteral("张");
}

bool isValidSaveFolder(const QString& text)
{
    if (text.isEmpty() || !endsWithSeparator(text))
        return false;
    // "/" alone is the root; otherwise the folder is the text without its separator.
    const QString folder = text.size() > 1 ? text.chopped(1) : QStringLiteral("/");
    return QFileInfo(folder).isDir();
}

namespace {

class Job
{
public:
    Job(AppState& state, BatchJobView& view, const BatchJobContext& context)
        : m_state(state), m_view(view), m_context(context)
    {
    }

    BatchJobReport run();

private:
    // The sheet surface is shared with every other layout pass of the program.
    using LayoutGuard = std::lock_guard<std::recursive_mutex>;

    void layOutPhotos(const QStringList& paths);
    void output(const QImage& sheet);
    // Capacity from the template as it stands: a1 × d1, the plain product.
    qint32 capacity() const;

    AppState& m_state;
    BatchJobView& m_view;
    const BatchJobContext& m_context;
    QString m_folder;
    int m_sheetNumber = 0;
    BatchJobReport m_report;
};

qint32 Job::capacity() const
{
    return sheetCapacity(m_state.currentTemplate.size1);
}

void Job::output(const QImage& sheet)
{
    BatchSheetOutcome outcome;
    outcome.index = ++m_report.sheetsOutput;
    outcome.mode = m_view.outputMode();
    if (outcome.mode == BatchOutputMode::Save) {
        ++m_sheetNumber; // counts saved sheets only
        const JpegSaveResult saved =
            saveSheetAsJpeg(sheet, m_folder, m_sheetNumber, m_context.clock);
        outcome.ok = saved.ok;
        outcome.path = saved.path;
        outcome.error = saved.error;
    } else {
        outcome.printOutcome = printSheet(sheet, m_state.programFolder, m_context.printDialog);
        switch (outcome.printOutcome) {
        case PrintOutcome::Printed:
            outcome.ok = true;
            break;
        case PrintOutcome::Cancelled:
            outcome.error = QStringLiteral("no printer chosen");
            break;
        case PrintOutcome::SavedUnprinted:
            outcome.error = QStringLiteral("not printed; kept in 未打印");
            ++m_report.sheetsKeptUnprinted;
            break;
        case PrintOutcome::Lost:
            outcome.error = QStringLiteral("neither printed nor kept");
            break;
        }
    }
    if (!outcome.ok)
        ++m_report.sheetsFailed;
    if (m_context.sheetDone)
        m_context.sheetDone(outcome);
}

void Job::layOutPhotos(const QStringList& paths)
{
    PendingSheet& pending = m_state.pendingSheet;
    DrawingSurface& surface = m_state.sheetSurface;
    const int n = int(paths.size());
    QSize cell;
    {
        LayoutGuard guard(m_state.layoutLock);
        const PhotoSizeSpec& s1 = m_state.currentTemplate.size1;
        cell = QSize(std::max(s1.width, 0), std::max(s1.height, 0));
    }
    // The next photos are decoded while this one is placed and its sheets
    // saved; they are still taken one at a time, in list order.
    PhotoPrefetch prefetch(paths, cell, PhotoPrefetch::defaultWorkers(),
                           PhotoPrefetch::aheadFor(cell));
    for (int i = 1; i <= n; ++i) {
        const QString& path = paths[i - 1];
        m_view.showCurrentPhoto(path);
        const PreparedPhoto prepared = prefetch.take(i - 1);
        // A photo without a picture would come out as empty frames: it is
        // counted instead, and the sheet goes on with the next photo. The area
        // decoded ahead tells; a cell with no area has to ask the file.
        const bool readable =
            !prepared.area.isNull() || (cell.isEmpty() && PictureHandle::isReadable(path));
        m_report.photosUnreadable += readable ? 0 : 1;

        QImage sheet;
        bool full = false;
        bool twoSize = false;
        {
            LayoutGuard guard(m_state.layoutLock);
            m_state.currentPhotoPath = path;
            pending.copiesLeft = readable ? m_state.currentTemplate.outputCount : 0;
            if (readable)
                layOutCurrentPhoto(m_state, &prepared);
            twoSize = m_state.currentTemplate.twoSize != 0;
            full = readable && pending.filledCells == capacity();
            if (full) {
                sheet = surface.snapshotImage();
                surface.clear();
                pending.filledCells = 0;
            }
        }
        m_view.showProgress(int(std::trunc(100.0 / n * i)));
        if (full)
            output(sheet);

        bool placedLeftovers = false;
        {
            LayoutGuard guard(m_state.layoutLock);
            if (!twoSize && (pending.copiesLeft != 0 || pending.filledCells != 0)) {
                // With no copies left the pass would place nothing.
                if (readable && pending.copiesLeft != 0)
                    layOutCurrentPhoto(m_state, &prepared);
                placedLeftovers = true;
            }
        }
        // An output count above the capacity fills more than one fresh sheet:
        // keep going until every copy is placed, so none is dropped when the
        // next photo resets copiesLeft. A stop is honoured between these
        // sheets: the full one is output, the copies not yet placed are not.
        bool stoppedBetweenSheets = false;
        while (placedLeftovers) {
            {
                LayoutGuard guard(m_state.layoutLock);
                const qint32 c = capacity();
                if (c <= 0 || pending.copiesLeft <= 0 || pending.filledCells != c)
                    break;
                sheet = surface.snapshotImage();
                surface.clear();
                pending.filledCells = 0;
                stoppedBetweenSheets = m_state.batchControl.stopRequested.load();
                if (!stoppedBetweenSheets)
                    layOutCurrentPhoto(m_state, &prepared);
            }
            output(sheet);
            if (stoppedBetweenSheets)
                break;
        }
        if (stoppedBetweenSheets) {
            m_report.photosDone = i;
            m_report.stopped = true;
            break;
        }
        if (placedLeftovers && i == n) {
            {
                LayoutGuard guard(m_state.layoutLock);
                sheet = surface.snapshotImage();
            }
            output(sheet);
        }
        m_report.photosDone = i;
        if (m_state.batchControl.stopRequested.load()) {
            m_report.stopped = i < n;
            break;
        }
    }
}

BatchJobReport Job::run()
{
    BatchControl& control = m_state.batchControl;

    m_folder = m_view.saveFolder();
    if (!isValidSaveFolder(m_folder)) {
        m_view.showError(QString::fromUtf16(kSaveFolderMissingMessage));
        m_report.refused = true;
        m_view.jobEnded(m_report);
        return m_report;
    }
    if (m_view.templateName().isEmpty()) {
        m_view.showError(QString::fromUtf16(kTemplateNotChosenMessage));
        m_report.refused = true;
        m_view.jobEnded(m_report);
        return m_report;
    }

    m_view.lockControls();
    std::unique_lock<std::mutex> jobGuard;
    if (m_context.jobLock)
        jobGuard = std::unique_lock<std::mutex>(*m_context.jobLock);

    const QString selection = m_view.choosePhotoFiles();
    {
        LayoutGuard guard(m_state.layoutLock);
        m_state.sheetSurface.clear();
        m_state.pendingSheet.filledCells = 0;
        m_state.pendingSheet.copiesLeft = 0;
    }
    if (selection.isEmpty()) {
        m_report.cancelled = true;
    } else {
        const QStringList paths = selection.split(u';');
        m_report.photos = int(paths.size());
        m_view.showPhotoCount(m_report.photos);
        layOutPhotos(paths);
    }

    // No sheetbuf file to delete: sheets are encoded from memory.
    if (jobGuard.owns_lock())
        jobGuard.unlock();
    {
        LayoutGuard guard(m_state.layoutLock);
        m_state.sheetSurface.clear();
    }
    control.stopRequested = false;
    m_view.unlockControls();
    m_view.jobEnded(m_report);
    return m_report;
}

} // namespace

BatchJobReport runBatchJob(AppState& state, BatchJobView& view, const BatchJobContext& context)
{
    ++state.batchControl.runningJobs;
    Job job(state, view, context);
    const BatchJobReport report = job.run();
    --state.batchControl.runningJobs;
    return report;
}

} // namespace vellora
