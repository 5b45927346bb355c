// Message boxes for tests, installed while the object lives: each box records its caption and
// text (OK boxes in `texts`, questions in `questions`, both in `shown` in the order they opened)
// and a question is answered with `answer`.
// A box closes at once, unless `closeWhen` is set: then it stays open, running the event loop
// as a real modal box does (datagrams and queued calls keep coming, and further boxes may open
// on top of it), until `closeWhen` holds. `open` and `mostOpen` count boxes open at once.
#pragma once

#include "ui/message_box.h"

#include <QStringList>
#include <QTest>

#include <algorithm>
#include <functional>

namespace lumo::test {

class RecordingBoxes : public MessageBoxes {
public:
    RecordingBoxes() { MessageBoxes::install(this); }
    ~RecordingBoxes() override { MessageBoxes::install(nullptr); }
    RecordingBoxes(const RecordingBoxes&) = delete;
    RecordingBoxes& operator=(const RecordingBoxes&) = delete;

    void inform(QWidget*, const QString& caption, const QString& text) override
    {
        captions << caption;
        texts << text;
        shown << text;
        stayOpen(onInform);
    }
    bool ask(QWidget*, const QString& caption, const QString& text) override
    {
        captions << caption;
        questions << text;
        shown << text;
        stayOpen(onAsk);
        return answer;
    }

    QStringList captions, texts, questions, shown;
    bool answer = true;
    std::function<void()> onInform;  // runs while an OK box is open
    std::function<void()> onAsk;     // runs while a question is open
    std::function<bool()> closeWhen;
    int open = 0;
    int mostOpen = 0;

private:
    void stayOpen(const std::function<void()>& whileOpen)
    {
        mostOpen = std::max(mostOpen, ++open);
        if (whileOpen) whileOpen();
        if (closeWhen && !QTest::qWaitFor([this] { return closeWhen(); }, 60000))
            qWarning("a test's message box was still open after 60 s: closed");
        --open;
    }
};

}  // namespace lumo::test
