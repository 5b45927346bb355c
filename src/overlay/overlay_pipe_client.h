// The overlay's end of the pipe: it connects when the main program says the pipe is ready and
// reads exactly the records the main program announces, each within a bounded time.
#pragma once

#include "core/wire/wire.h"

#include <QtGlobal>

#include <optional>

class QLocalSocket;

namespace lumo {

class OverlayPipeClient {
public:
    // The design's wait for the pipe: how long the pipe may take to appear.
    static constexpr int WaitForPipeMs = 2000;
    // How long an announced record may take to arrive in full.
    static constexpr int ReadWaitMs = 500;

    struct OpenResult {
        bool waitFailed = false;  // the pipe did not appear in time
        bool opened = false;
    };

    OverlayPipeClient();
    ~OverlayPipeClient();
    OverlayPipeClient(const OverlayPipeClient&) = delete;
    OverlayPipeClient& operator=(const OverlayPipeClient&) = delete;

    // Closes any pipe open, waits up to `waitMs` for pipe `number` to appear, then connects.
    // A number outside 0..255 names no pipe.
    OpenResult open(qint64 number, int waitMs = WaitForPipeMs);
    void close();
    bool isOpen() const;

    // Exactly `length` bytes, or nullopt when the pipe is not open or they do not all arrive in
    // time. After a shortfall the bytes waiting in the pipe are dropped, so that the next
    // announced record is read from its start.
    std::optional<Bytes> read(std::size_t length);
    // Drops whatever waits in the pipe.
    void discardPending();

private:
    QLocalSocket* socket_ = nullptr;
};

}  // namespace lumo
