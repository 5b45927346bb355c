// The chat history under a flood: texts appended per second by the store alone, and with the
// history window's list (offscreen) following in batches as the program does, beside following
// every text at once; and the process's resident memory when the history is full to its count
// and to its byte bound. Nothing is asserted.
#include "app/chat_history_window.h"
#include "core/wire/wire.h"

#include <QApplication>
#include <QFile>
#include <QListView>

#include <benchmark/benchmark.h>

#include <string>

using namespace lumo;

namespace {

long residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

constexpr int FloodTexts = 15000;

void storeAlone(benchmark::State& state)
{
    for (auto _ : state) {
        ChatHistory history;
        for (int i = 0; i < FloodTexts; ++i)
            history.addReceived("0@127.0.0.1:3550", "ann", "flood " + std::to_string(i), i, i);
        benchmark::DoNotOptimize(history.size());
    }
    state.SetItemsProcessed(state.iterations() * FloodTexts);
}
BENCHMARK(storeAlone)->Unit(benchmark::kMillisecond);

// The list shown, its model flushed every `range(0)` texts (1: every text at once; 500: about
// what arrives in the program's 100 ms batch at 5,000 texts a second).
void withView(benchmark::State& state)
{
    const int every = int(state.range(0));
    for (auto _ : state) {
        ChatHistory history;
        ChatHistoryWindow window(history);
        window.show();
        for (int i = 0; i < FloodTexts; ++i) {
            window.model().historyChanged(history.addReceived("0@127.0.0.1:3550", "ann", "flood " + std::to_string(i), i, i));
            if (i % every == every - 1) {
                window.model().flush();
                QCoreApplication::processEvents();
            }
        }
        window.model().flush();
        QCoreApplication::processEvents();
        benchmark::DoNotOptimize(window.model().rowCount());
    }
    state.SetItemsProcessed(state.iterations() * FloodTexts);
}
BENCHMARK(withView)->Arg(1)->Arg(500)->Unit(benchmark::kMillisecond)->Iterations(3);

// Resident memory with the history full: short texts up to the count bound, then long joined
// texts up to the byte bound.
void fullHistoryMemory(benchmark::State& state)
{
    for (auto _ : state) {
        const long before = residentKb();
        auto history = std::make_unique<ChatHistory>();
        for (std::size_t i = 0; i < ChatHistory::MaxMessages + 1000; ++i)
            history->addReceived("0@127.0.0.1:3550", "ann", "flood " + std::to_string(i), std::int64_t(i) * 2000, 0);
        const long countFull = residentKb();
        const std::string part(MaxChatTextBytes, 'x');
        for (std::size_t i = 0; i < 2 * ChatHistory::MaxTextBytes / part.size(); ++i)
            history->addReceived("1@127.0.0.2:3550", "bob", part, std::int64_t(i), 0);
        const long bytesFull = residentKb();
        state.counters["rss_before_kB"] = double(before);
        state.counters["rss_count_full_kB"] = double(countFull);
        state.counters["rss_bytes_full_kB"] = double(bytesFull);
        state.counters["texts_kept"] = double(history->size());
        state.counters["texts_dropped"] = double(history->droppedCount());
    }
}
BENCHMARK(fullHistoryMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
