// What LUMO's output devices play, for the echo canceller of its capture. Every open output
// device writes its samples into a ring of its own as it hands them to the sound card (one
// writer per ring); a capture reads the sum of all rings, 60 ms at a time, in step with its
// microphone blocks. Neither side ever waits for the other or allocates: the rings are made with
// the audio system, samples and positions are atomics.
//
// The reader follows each ring a little behind its writer (a margin), so that an output that
// hands over its samples in bursts still has the next 60 ms ready when the capture asks. When a
// ring runs dry anyway, the reader falls back behind it with twice the margin; when it falls too
// far behind (clocks of different cards drift apart), it catches up. Either way the echo
// canceller sees a jump in the delay once, and adapts.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace lumo {

class FarEndReference {
    struct Ring;

public:
    static constexpr int Slots = 16;            // outputs at once; more play without a reference
    static constexpr int RingSamples = 8192;    // 1.024 s at 8 kHz, a power of two
    static constexpr int MaxReadSamples = 480;  // one block per read
    static constexpr int FirstMargin = 160;     // 20 ms
    static constexpr int MaxMargin = 2400;      // 300 ms
    static constexpr int DriftSlack = 480;      // behind by more than margin + 60 ms: catch up

    FarEndReference() = default;
    FarEndReference(const FarEndReference&) = delete;
    FarEndReference& operator=(const FarEndReference&) = delete;

    // One output device's ring for as long as the writer lives. When every ring is taken the
    // writer writes nothing (that output is missing from the reference).
    class Writer {
    public:
        explicit Writer(FarEndReference* reference);
        ~Writer();
        Writer(const Writer&) = delete;
        Writer& operator=(const Writer&) = delete;

        // The next samples the device plays. Called by the device's own thread only.
        void write(const std::int16_t* samples, int count);
        bool attached() const { return ring_ != nullptr; }

    private:
        Ring* ring_ = nullptr;
    };

    // One capture's view: its own position in every ring.
    class Reader {
    public:
        explicit Reader(FarEndReference& reference) : reference_(reference) {}

        // Fills `out` with the sum of what every output played over the next `count` samples
        // (at most MaxReadSamples; more are silence), saturating at the 16-bit limits. Silence
        // where nothing plays.
        void read(std::int16_t* out, int count);
        // How many rings the last read took samples from.
        int sources() const { return sources_; }
        // How often a ring ran dry or fell too far behind since the reader was made.
        int resyncs() const { return resyncs_; }

    private:
        struct Follow {
            bool active = false;
            std::uint32_t generation = 0;
            std::int64_t cursor = 0;  // the ring position of the next sample to read
            int margin = FirstMargin;
        };
        FarEndReference& reference_;
        std::array<Follow, Slots> follow_{};
        int sources_ = 0;
        int resyncs_ = 0;
    };

private:
    struct Ring {
        std::atomic<bool> taken{false};
        std::atomic<std::uint32_t> generation{0};  // a new writer: readers start over
        std::atomic<std::int64_t> written{0};      // samples written since the writer came
        std::array<std::atomic<std::int16_t>, RingSamples> samples{};
    };
    std::array<Ring, Slots> rings_{};
};

}  // namespace lumo
