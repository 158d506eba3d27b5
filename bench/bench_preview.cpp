// The settings window's redraw: one edit of a value followed by the layout
// pass, as the window runs it while it is shown (whole sheet, centring, the
// sheet picture handed to the board and shrunk to fit it). Targets: a 6-inch
// sheet under 30 ms, an A4 sheet under 60 ms.
//
//   bench_preview [--runs N] [google-benchmark options]

#include "core/AppState.h"
#include "core/DrawingSurface.h"
#include "sheet/SheetRenderer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>

#include <algorithm>
#include <cstdio>
#include <vector>

#ifdef VELLORA_HAVE_GBENCH
#include <benchmark/benchmark.h>
#endif

using namespace vellora;

namespace {

struct Case
{
    const char* name;
    double targetMs;
    LayoutTemplate t;
};

// 1-inch photos, 5 × 2 on a 6-inch sheet, number outside, frame lines.
LayoutTemplate sixInch()
{
    LayoutTemplate t;
    t.size1 = {350, 250, 5, 2, 20, 20};
    t.outputCount = 10;
    t.paperWidth = 1520;
    t.paperHeight = 1020;
    t.landscape = 1;
    t.numberColour = 0x000000;
    t.frameLines = 1;
    t.frameColour = 0x808080;
    t.centred = 1;
    return t;
}

// 2-inch photos, 5 × 5 with a second size below, on A4.
LayoutTemplate a4()
{
    LayoutTemplate t;
    t.size1 = {490, 350, 5, 4, 40, 40};
    t.outputCount = 20;
    t.twoSize = 1;
    t.gap = 60;
    t.size2 = {350, 250, 7, 1, 40, 0};
    t.paperWidth = 2100;
    t.paperHeight = 2970;
    t.frameLines = 1;
    t.centred = 1;
    return t;
}

// What 画板1 does with the picture: shrink to fit its 512 × 553 inner area.
QImage g_lastBoard;
void showOnBoard(const QImage& sheet)
{
    const QRect fit = shrinkToFit(sheet.width(), sheet.height(), 512, 553);
    g_lastBoard = sheet.scaled(fit.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

struct Preview
{
    AppState state;
    explicit Preview(const LayoutTemplate& t)
    {
        state.programFolder = QStringLiteral(VELLORA_PROGRAM_DIR);
        state.currentPhotoPath = state.samplePhotoPath();
        state.currentTemplate = t;
        state.sheetSurface.resize(t.paperWidth, t.paperHeight);
        state.windows.settingsShown = true;
        state.windows.centredChecked = t.centred != 0;
        state.windows.numberOutsideChecked = t.numberOutside();
        state.views.showOnSettingsBoard = showOnBoard;
    }
    // One edit: the horizontal distance goes up or down by 0.1 mm.
    void editAndRedraw(int i)
    {
        state.currentTemplate.size1.hDistance += (i % 2 == 0) ? 1 : -1;
        layOutCurrentPhoto(state);
    }
};

double medianMs(const LayoutTemplate& t, int runs, double* worst)
{
    Preview p(t);
    p.editAndRedraw(0); // warm-up: font and decoder set-up
    std::vector<double> times;
    for (int i = 1; i <= runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        p.editAndRedraw(i);
        times.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::sort(times.begin(), times.end());
    *worst = times.back();
    return times[times.size() / 2];
}

#ifdef VELLORA_HAVE_GBENCH
void redraw(benchmark::State& s, LayoutTemplate t)
{
    Preview p(t);
    int i = 0;
    for (auto _ : s)
        p.editAndRedraw(++i);
}
BENCHMARK_CAPTURE(redraw, six_inch, sixInch())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(redraw, a4, a4())->Unit(benchmark::kMillisecond);
#endif

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (!QFileInfo::exists(QDir(QStringLiteral(VELLORA_PROGRAM_DIR))
                               .filePath(QStringLiteral("152101201205090001.jpg")))) {
        std::fprintf(stderr, "the sample photo is missing from %s: build vellora_sample_photo\n",
                     VELLORA_PROGRAM_DIR);
        return 2;
    }
    int runs = 30;
    for (int i = 1; i + 1 < argc; ++i) {
        if (QByteArray(argv[i]) == "--runs")
            runs = std::max(1, atoi(argv[i + 1]));
    }

    const Case cases[] = {{"6-inch 1520x1020, 10 cells", 30.0, sixInch()},
                          {"A4 2100x2970, 20+7 cells", 60.0, a4()}};
    bool allMet = true;
    std::printf("settings preview redraw (edit + layout pass + board), %d runs each\n", runs);
    for (const Case& c : cases) {
        double worst = 0;
        const double median = medianMs(c.t, runs, &worst);
        const bool met = median < c.targetMs;
        allMet = allMet && met;
        std::printf("  %-28s median %7.2f ms  worst %7.2f ms  target < %4.0f ms  %s\n", c.name,
                    median, worst, c.targetMs, met ? "met" : "MISSED");
    }
    std::fflush(stdout);

#ifdef VELLORA_HAVE_GBENCH
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (QByteArray(argv[i]) == "--runs") {
            ++i;
            continue;
        }
        args.push_back(argv[i]);
    }
    int n = int(args.size());
    benchmark::Initialize(&n, args.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
#endif
    return allMet ? 0 : 1;
}
