// The list with 1,000, 10,000 and 100,000 contacts (the benchmark's
// argument): RefreshListView as an add or an edit calls it, the same
// followed by a repaint of the list, a refresh after every record changed
// (the worst case: every row rendered anew), and one whole add from the
// entry row in DEMO mode, repaint included.
#include "framework/qt/list_view.h"
#include "framework/qt/qt_application.h"
#include "ui/Log.h"
#include "ui/Setari.h"
#include "ui/UnitLogbookData.h"

#include <benchmark/benchmark.h>

#include <QEvent>
#include <QLineEdit>
#include <QTimer>

#include <cstdlib>

namespace {

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

TListView* ListView() {
    return Form1->findChild<TListView*>(QStringLiteral("ListView1"));
}

// The main window with exactly `contacts` rows, shown and painted. Rows are
// never removed, so a list that grew beyond the size is built anew.
TForm1& FormWith(int contacts) {
    if (Form1 && Form1->Logbook().Count() > contacts) {
        delete Form1;
        Form1 = nullptr;
    }
    if (!Form1)
        Form1 = new TForm1();
    FillLogbook(*Form1, contacts);
    Form1->RefreshListView();
    Form1->show();
    // No settings prompt and no clock (both start when the window shows):
    // only the list is measured.
    Form1->Timer1->stop();
    Form1->Timer2->stop();
    QCoreApplication::processEvents();
    ListView()->viewport()->removeEventFilter(gPaints);
    ListView()->viewport()->installEventFilter(gPaints);
    return *Form1;
}

void BM_RefreshListView(benchmark::State& state) {
    TForm1& form = FormWith(static_cast<int>(state.range(0)));
    for (auto _ : state)
        form.RefreshListView();
    state.SetItemsProcessed(state.iterations() * form.Logbook().Count());
}

void BM_RefreshListViewAndRepaint(benchmark::State& state) {
    TForm1& form = FormWith(static_cast<int>(state.range(0)));
    TListView* view = ListView();
    const int before = gPaints->Count;
    for (auto _ : state) {
        form.RefreshListView();
        view->viewport()->repaint();
    }
    if (gPaints->Count == before)
        state.SkipWithError("the list view did not paint");
    state.SetItemsProcessed(state.iterations() * form.Logbook().Count());
}

// Every record differs from what its row shows, so every row is rendered
// again and the whole list is told of it.
void BM_RefreshListViewAllChanged(benchmark::State& state) {
    TForm1& form = FormWith(static_cast<int>(state.range(0)));
    TListView* view = ListView();
    TLogbookList& list = form.Logbook();
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < list.Count(); ++i)
            list.Row(i).Data->Uploaded ^= 1;
        state.ResumeTiming();
        form.RefreshListView();
        view->viewport()->repaint();
    }
    state.SetItemsProcessed(state.iterations() * list.Count());
}

// "Adauga" in DEMO mode: the record, its row, the refresh, the summary and
// the trace, and the repaint that shows the new row.
void BM_AddContact(benchmark::State& state) {
    TForm1& form = FormWith(static_cast<int>(state.range(0)));
    Form2->SetDemoMode(true);
    form.findChild<QLineEdit*>(QStringLiteral("EditIndicativ"))->setText(QStringLiteral("YO9XYZ"));
    TListView* view = ListView();
    for (auto _ : state) {
        form.AdaugaBtnClick();
        view->viewport()->repaint();
    }
    state.SetItemsProcessed(state.iterations());
}

#define LOGBOOK_SIZES ->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)
BENCHMARK(BM_RefreshListView) LOGBOOK_SIZES;
BENCHMARK(BM_RefreshListViewAndRepaint) LOGBOOK_SIZES;
BENCHMARK(BM_RefreshListViewAllChanged) LOGBOOK_SIZES->Iterations(20);
BENCHMARK(BM_AddContact) LOGBOOK_SIZES->Iterations(50);

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    TQtApplication app(argc, argv);
    InstallQtGlue();
    Application().SetTitle("QQ9XYZ Logbook v1.2");
    gPaints = new TPaintCounter();
    FormWith(0); // the settings dialog reads the main window as it starts
    Form2 = new TForm2();
    FormLogbookData = new TFormLogbookData();

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    delete FormLogbookData;
    delete Form2;
    delete Form1;
    delete gPaints;
    return 0;
}
