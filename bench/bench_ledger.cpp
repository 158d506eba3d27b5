// The print ledger over a studio's year.
//
//   (a) 200 000 photos' lifecycles (queued, on a sheet with its digest, the
//       sheet's job created, sent, printed; two photos of four copies to a
//       sheet of eight), spread over 365 days, written in batches
//       target: the file under 50 MB
//   (b) then, on that file, 2000 more lifecycles each change in its own
//       commit, as the monitor makes them: the photo's own commits (queued,
//       on the sheet) and the sheet's (new, job created — synced to disk —,
//       sent, printed), and per photo its own plus half its sheet's
//       target: the per-photo cost under 5 ms median
//   (c) opening the full file (with its page check), the restart's
//       unfinished work, the same-bytes look-up and a number's history
//   (d) pruning 180 days, then giving space back: incremental and full
//
//   bench_ledger [PHOTOS] [FOLDER]   (default 200000, a folder under /var/tmp)
//
// Figures and whether the targets are met are printed at the end; nothing
// here fails on time.

#include "ledger/PrintLedger.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "benchutils.h"

using namespace vellora;

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> s, double p)
{
    if (s.empty())
        return -1;
    std::sort(s.begin(), s.end());
    return s[std::min(s.size() - 1, size_t(p * double(s.size())))];
}

const QString kHot = QStringLiteral("/srv/studio/hot");

struct Writer
{
    PrintLedger& ledger;
    QDateTime& now;
    qint64 secondsPerPhoto;
    qint64 photos = 0;
    qint64 sheet = 0;
    int job = 1000;
    bool failed = false;

    static QByteArray number(qint64 n)
    {
        return QByteArray::number(152101000000000000LL + (n * 2654435761LL) % 1000000000000LL);
    }

    QByteArray name(qint64 n) const
    {
        // A day's folder and an 18-digit photo number, as studios name them;
        // numbers arrive in no order (the index then fills its pages as it
        // would in a studio, not as a sorted load would).
        return QByteArray("2024") + QByteArray::number(100 + n / 1500).right(3) + '/' + number(n) +
               ".jpg";
    }

    void check(const LedgerWrite& write)
    {
        if (!write.ok() && !failed) {
            std::fprintf(stderr, "ledger: %s\n", qPrintable(write.error));
            failed = true;
        }
    }

    // One photo; every second one fills and prints the sheet. The optional
    // timings take the wall clock of each commit.
    void photo(std::vector<double>* own = nullptr, std::vector<double>* sheetCost = nullptr)
    {
        now = now.addSecs(secondsPerPhoto);
        const bool first = photos % 2 == 0;
        auto start = Clock::now();
        const LedgerWrite queued = ledger.recordPhotoQueued(kHot, name(photos), 4);
        check(queued);
        double ownMs = msSince(start);
        double sheetMs = 0;
        if (first) {
            start = Clock::now();
            const LedgerWrite made = ledger.newSheet(QStringLiteral("一寸"), 8);
            sheetMs += msSince(start);
            check(made);
            sheet = made.value;
        }
        PhotoIdentity identity;
        identity.size = 180000 + photos % 5000;
        identity.mtimeNs = now.toMSecsSinceEpoch() * 1000000;
        identity.inode = quint64(4000000 + photos);
        identity.device = 2049;
        identity.sha256 = photoDigest(name(photos));
        start = Clock::now();
        check(ledger.photoOnSheet(queued.value, sheet, {first ? 1 : 5, 4}, identity));
        ownMs += msSince(start);
        if (!first) {
            start = Clock::now();
            check(ledger.sheetJobCreated(sheet, QStringLiteral("Studio_Printer"), ++job));
            check(ledger.sheetDocumentSent(sheet));
            check(ledger.sheetPrinted(sheet));
            sheetMs += msSince(start);
        }
        if (own)
            own->push_back(ownMs);
        if (sheetCost && !first)
            sheetCost->push_back(sheetMs);
        ++photos;
    }
};

qint64 ledgerBytes(const QString& folder)
{
    qint64 total = 0;
    for (const QString& suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")})
        total += QFileInfo(folder + u'/' + QString::fromUtf16(u"打印记录.db") + suffix).size();
    return total;
}

bool copyLedger(const QString& from, const QString& to)
{
    QDir().mkpath(to);
    const QString name = QString::fromUtf16(u"打印记录.db");
    return QFile::copy(from + u'/' + name, to + u'/' + name);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const qint64 count = argc > 1 ? QByteArray(argv[1]).toLongLong() : 200000;
    QTemporaryDir dir(argc > 2 ? QString::fromLocal8Bit(argv[2]) + QStringLiteral("/ledger-XXXXXX")
                               : QStringLiteral("/var/tmp/vellora-bench-ledger-XXXXXX"));
    if (!dir.isValid() || count < 2) {
        std::fprintf(stderr, "bench_ledger: no scratch folder\n");
        return 1;
    }
    // VELLORA_BENCH_KEEP=1 leaves the files for a look with sqlite3 afterwards.
    dir.setAutoRemove(qEnvironmentVariableIntValue("VELLORA_BENCH_KEEP") == 0);
    const QString fill = dir.filePath(QStringLiteral("fill"));
    QDir().mkpath(fill);

    QDateTime now = QDateTime::currentDateTimeUtc().addDays(-365);
    PrintLedger ledger;
    ledger.setClock([&now] { return now; });
    const LedgerOpening opening = ledger.open(fill);
    if (!opening.ok) {
        std::fprintf(stderr, "bench_ledger: %s\n", qPrintable(opening.error));
        return 1;
    }
    Writer writer{ledger, now, 365 * 24 * 3600 / count};

    // (a)
    auto start = Clock::now();
    qint64 session = 0;
    for (qint64 n = 0; n < count && !writer.failed; ++n) {
        if (n % 500 == 0)
            writer.check(ledger.beginBatch());
        if (n % 1500 == 0) {
            if (session)
                writer.check(ledger.endSession(session, true));
            session = ledger.beginSession(kHot, QStringLiteral("一寸"), 4242).value;
        }
        writer.photo();
        if (n % 500 == 499 || n == count - 1)
            writer.check(ledger.commitBatch());
    }
    const double fillMs = msSince(start);
    ledger.close();
    const qint64 filledBytes = ledgerBytes(fill);
    std::printf("(a) %lld lifecycles in %.1f s: file %.1f MB (%.0f bytes a photo)\n",
                static_cast<long long>(count), fillMs / 1000, double(filledBytes) / 1e6,
                double(filledBytes) / double(count));
    const QString pruneIncremental = dir.filePath(QStringLiteral("incremental"));
    const QString pruneFull = dir.filePath(QStringLiteral("full"));
    const bool copied = copyLedger(fill, pruneIncremental) && copyLedger(fill, pruneFull);

    // (c) before (b), on the file as a restart finds it.
    start = Clock::now();
    const LedgerOpening reopened = ledger.open(fill);
    const double openMs = msSince(start);
    if (!reopened.ok || !reopened.notice.isEmpty()) {
        std::fprintf(stderr, "bench_ledger: reopening: %s%s\n", qPrintable(reopened.error),
                     qPrintable(reopened.notice));
        return 1;
    }
    start = Clock::now();
    const auto work = ledger.unfinishedWork();
    const double unfinishedMs = msSince(start);
    std::vector<double> sameBytes, byNumber;
    for (int i = 0; i < 200; ++i) {
        const qint64 n = (qint64(i) * 7919) % count;
        auto t = Clock::now();
        const auto same =
            ledger.hasPrintedSameBytes(kHot, writer.name(n), photoDigest(writer.name(n)));
        sameBytes.push_back(msSince(t));
        if (!same.value)
            writer.failed = true;
        t = Clock::now();
        HistoryQuery query;
        query.number = QString::fromLatin1(Writer::number(n));
        const auto history = ledger.history(query);
        byNumber.push_back(msSince(t));
        if (history.value.size() != 1)
            writer.failed = true;
    }
    start = Clock::now();
    HistoryQuery lastWeek;
    lastWeek.since = now.addDays(-7);
    lastWeek.limit = 100000;
    const auto week = ledger.history(lastWeek);
    const double weekMs = msSince(start);

    // (b)
    std::vector<double> own, sheetCost;
    ledger.setClock([&now] { return now; });
    for (int n = 0; n < 2000 && !writer.failed; ++n)
        writer.photo(&own, &sheetCost);
    std::vector<double> perPhoto;
    for (size_t i = 0; i < own.size(); ++i)
        perPhoto.push_back(own[i] + sheetCost[std::min(i / 2, sheetCost.size() - 1)] / 2);

    std::printf("(b) per photo, its own commits:  median %.3f ms, p95 %.3f ms\n",
                bench::median(own), percentile(own, 0.95));
    std::printf("    per sheet (new, job, sent, printed): median %.3f ms, p95 %.3f ms\n",
                bench::median(sheetCost), percentile(sheetCost, 0.95));
    std::printf("    per photo with half its sheet: median %.3f ms, p95 %.3f ms\n",
                bench::median(perPhoto), percentile(perPhoto, 0.95));
    std::printf("(c) open with page check %.0f ms; unfinished work %.2f ms (%lld queued); "
                "same bytes median %.3f ms; a number's history median %.3f ms; "
                "last week (%lld photos) %.0f ms\n",
                openMs, unfinishedMs, static_cast<long long>(work.value.queued.size()),
                bench::median(sameBytes), bench::median(byNumber),
                static_cast<long long>(week.value.size()), weekMs);
    ledger.close();

    // (d)
    if (copied) {
        for (const auto& [folder, vacuum, label] :
             {std::tuple{pruneIncremental, Vacuum::Incremental, "incremental"},
              std::tuple{pruneFull, Vacuum::Full, "full"}}) {
            PrintLedger pruned;
            pruned.setClock([&now] { return now; });
            if (!pruned.open(folder).ok)
                continue;
            start = Clock::now();
            const auto report = pruned.prune(180, vacuum);
            const double pruneMs = msSince(start);
            std::printf("(d) prune 180 days, %s vacuum: %lld photos and %lld sheets gone in "
                        "%.0f ms, %.1f MB → %.1f MB%s%s\n",
                        label, static_cast<long long>(report.value.photos),
                        static_cast<long long>(report.value.sheets), pruneMs,
                        double(report.value.bytesBefore) / 1e6,
                        double(report.value.bytesAfter) / 1e6, report.ok() ? "" : " — ",
                        qPrintable(report.error));
        }
    }

    const bool sizeMet = filledBytes < 50 * 1000 * 1000 || count < 200000;
    const bool latencyMet = bench::median(perPhoto) < 5.0;
    std::printf("targets: file under 50 MB for 200 000 photos %s; per-photo commit under 5 ms "
                "median %s%s\n",
                count < 200000 ? "(not measured: fewer photos)"
                : sizeMet      ? "met"
                               : "MISSED",
                latencyMet ? "met" : "MISSED", writer.failed ? " — but a ledger call failed" : "");
    return writer.failed ? 1 : 0;
}
