// How long the user-interface thread spends reading directory replies and the server list.
#include "core/directory/directory_protocol.h"
#include "core/directory/server_list.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

std::string listReply(int groups)
{
    std::string body = "myserverlist\r\n203.0.113.9 \r\n";
    for (int i = 0; i < groups; ++i) {
        body += std::to_string(i) + " \xC8\xBA\xC3\xFB" + std::to_string(i) + " 192.0.2." + std::to_string(i % 250) +
                " 3555 \xD4\xDA\xCF\xDF \r\n";
    }
    return body;
}

void BM_ParseListReply(benchmark::State& state)
{
    const std::string body = listReply(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(lumo::parseListReply(body));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(body.size()));
}
BENCHMARK(BM_ParseListReply)->Arg(10)->Arg(1000)->Arg(static_cast<int>(lumo::MaxGroupRows));

void BM_ParseServerList(benchmark::State& state)
{
    std::string text = "[urllist]\r\n";
    for (int i = 0; i < 31; ++i) text += "server" + std::to_string(i) + "=http://10.0.0." + std::to_string(i) + ":8080\r\n";
    for (auto _ : state) benchmark::DoNotOptimize(lumo::parseServerList(text));
}
BENCHMARK(BM_ParseServerList);

}  // namespace

BENCHMARK_MAIN();
