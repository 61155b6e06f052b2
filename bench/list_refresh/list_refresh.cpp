// Every add and every edit rewrites all rows of the list; with 10,000
// contacts in the run that must still fit in one frame (16 ms): the rows are
// re-rendered from their records and the list view repaints what it shows.
#include "framework/qt/list_view.h"
#include "framework/qt/qt_application.h"
#include "ui/Log.h"
#include "ui/Setari.h"
#include "ui/UnitLogbookData.h"

#include <benchmark/benchmark.h>

#include <QEvent>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kContacts = 10000;

// Counts the list's paint events, to be sure the repaint really paints.
class TPaintCounter : public QObject {
public:
    int Count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++Count;
        return false;
    }
};

TPaintCounter* gPaints = nullptr;

void FillLogbook(TForm1& form, int contacts) {
    TLogbookList& list = form.Logbook();
    const char* bands[] = {"160m", "80m", "40m", "20m", "15m", "10m"};
    const char* modes[] = {"CW", "SSB", "FM", "RTTY", "PSK31"};
    for (int i = list.Count(); i < contacts; ++i) {
        TLogbookData* r = list.NewRecord();
        r->Id = list.Count();
        r->QsoDate = EncodeDate(2024, 1 + i % 12, 1 + i % 28) + 0.5;
        r->QsoTime = EncodeTime(i % 24, i % 60, (i * 7) % 60, 0);
        r->Callsign = "QQ" + std::to_string(i % 10) + "A" + std::to_string(i);
        r->Rx = "59";
        r->Tx = "57";
        r->Locator = "KN16" + std::to_string(i % 100);
        r->Band = bands[i % 6];
        r->Mode = modes[i % 5];
        r->QsoId = i % 3 ? std::to_string(100000 + i) : std::string();
        list.AppendRow(r);
    }
}

TListView* ListView() { return Form1->findChild<TListView*>(QStringLiteral("ListView1")); }

void BM_RefreshListView(benchmark::State& state) {
    for (auto _ : state)
        Form1->RefreshListView();
    state.SetItemsProcessed(state.iterations() * Form1->Logbook().Count());
}
BENCHMARK(BM_RefreshListView)->Unit(benchmark::kMillisecond);

void BM_RefreshListViewAndRepaint(benchmark::State& state) {
    TListView* view = ListView();
    const int before = gPaints->Count;
    for (auto _ : state) {
        Form1->RefreshListView();
        view->viewport()->repaint();
    }
    if (gPaints->Count == before)
        state.SkipWithError("the list view did not paint");
    state.SetItemsProcessed(state.iterations() * Form1->Logbook().Count());
}
BENCHMARK(BM_RefreshListViewAndRepaint)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    TQtApplication app(argc, argv);
    InstallQtGlue();
    Application().SetTitle("QQ9XYZ Logbook v1.2");
    Form1 = new TForm1();
    Form2 = new TForm2();
    FormLogbookData = new TFormLogbookData();
    FillLogbook(*Form1, kContacts);
    Form1->RefreshListView();
    Form1->show();
    // No settings prompt and no clock: only the list is measured.
    Form1->Timer1->stop();
    Form1->Timer2->stop();
    QCoreApplication::processEvents();
    gPaints = new TPaintCounter();
    ListView()->viewport()->installEventFilter(gPaints);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    delete FormLogbookData;
    delete Form2;
    delete Form1;
    return 0;
}
