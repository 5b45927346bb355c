// The talking job without the program, for the talker benches' floors: the encoder alone in a
// tight loop, and a bare loop that sleeps to the next 60 ms, encodes a block and sends it to the
// members in one sendmmsg. And per-thread CPU times of a process, from /proc.
#pragma once

#include "bench_loopback.h"

#include "core/voice/voice_codec.h"

#include <QDir>
#include <QFile>
#include <QString>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace lumo::bench {

// 60 ms of a two-tone sound, loud enough that the silence gate passes every block.
inline std::array<std::int16_t, 480> toneBlock()
{
    std::array<std::int16_t, 480> tone;
    for (int i = 0; i < 480; ++i)
        tone[std::size_t(i)] = std::int16_t(9000 * std::sin(i * 2 * M_PI * 300 / 8000.0) +
                                            3000 * std::sin(i * 2 * M_PI * 1170 / 8000.0));
    return tone;
}

// The encoder alone on `blocks` blocks of the tone: CPU seconds of this thread.
inline double encodeAlone(std::uint64_t blocks)
{
    const std::array<std::int16_t, 480> tone = toneBlock();
    VoiceCodec codec;
    std::array<std::uint8_t, 64> out{};
    int produced = 0;
    codec.Encode(tone.data(), 960, out.data(), &produced);  // the codec's warm-up block
    const double before = seconds(CLOCK_THREAD_CPUTIME_ID);
    for (std::uint64_t b = 0; b < blocks; ++b) codec.Encode(tone.data(), 960, out.data(), &produced);
    return seconds(CLOCK_THREAD_CPUTIME_ID) - before;
}

// The job without the program: every 60 ms (starting half a period from now) one block encoded
// and sent to the members in one sendmmsg, from a plain socket on `from`, until `stop`.
struct BareLoop {
    double cpu = 0;  // this thread's CPU seconds
    std::uint64_t blocks = 0;
};

inline BareLoop bareTalker(Ipv4 from, const std::vector<Endpoint>& to, const std::atomic<bool>& stop)
{
    BareLoop result;
    const int fd = boundSocket({from, 0});
    if (fd < 0 || to.empty()) return result;
    const std::array<std::int16_t, 480> tone = toneBlock();
    VoiceCodec codec;
    std::array<std::array<std::uint8_t, VoiceDatagramSize>, 8> bytes{};
    std::array<sockaddr_in, 8> targets;
    std::array<iovec, 8> vectors;
    std::array<mmsghdr, 8> headers;
    for (std::size_t i = 0; i < 8; ++i) {
        targets[i] = socketAddress(to[i % to.size()]);
        vectors[i] = {bytes[i].data(), bytes[i].size()};
        headers[i] = mmsghdr{};
        headers[i].msg_hdr.msg_name = &targets[i];
        headers[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        headers[i].msg_hdr.msg_iov = &vectors[i];
        headers[i].msg_hdr.msg_iovlen = 1;
    }
    const double before = seconds(CLOCK_THREAD_CPUTIME_ID);
    auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
    while (!stop.load()) {
        std::this_thread::sleep_until(due);
        due += std::chrono::milliseconds(60);
        int produced = 0;
        codec.Encode(tone.data(), 960, bytes[0].data() + HeaderSize + 4, &produced);
        for (std::size_t i = 1; i < 8; ++i) bytes[i] = bytes[0];
        ::sendmmsg(fd, headers.data(), 8, MSG_DONTWAIT);
        ++result.blocks;
    }
    result.cpu = seconds(CLOCK_THREAD_CPUTIME_ID) - before;
    ::close(fd);
    return result;
}

// Nanoseconds on a CPU so far, with the thread's name, per thread of a process ("self" or a
// process id), from /proc/PID/task/*/schedstat.
struct ThreadTime {
    std::string name;
    double ns = 0;
};

inline std::map<int, ThreadTime> threadTimes(const QString& process = QStringLiteral("self"))
{
    std::map<int, ThreadTime> out;
    QDir tasks(QStringLiteral("/proc/%1/task").arg(process));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(tasks.filePath(tid + QStringLiteral("/schedstat")));
        QFile comm(tasks.filePath(tid + QStringLiteral("/comm")));
        if (!stat.open(QIODevice::ReadOnly) || !comm.open(QIODevice::ReadOnly)) continue;
        const double ns = QString::fromLatin1(stat.readAll()).split(QLatin1Char(' ')).value(0).toDouble();
        out[tid.toInt()] = {comm.readAll().trimmed().toStdString(), ns};
    }
    return out;
}

// What each thread used between two readings, in ns (threads that ended in between are left out).
inline std::map<int, ThreadTime> threadTimesSince(const std::map<int, ThreadTime>& before,
                                                  const std::map<int, ThreadTime>& after)
{
    std::map<int, ThreadTime> used;
    for (const auto& [tid, entry] : after) {
        const auto earlier = before.find(tid);
        used[tid] = {entry.name, entry.ns - (earlier == before.end() ? 0.0 : earlier->second.ns)};
    }
    return used;
}

}  // namespace lumo::bench
