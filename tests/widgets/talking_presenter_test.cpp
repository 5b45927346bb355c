// The talking marker on simulated time: who is shown talking as voice arrives and stops, the
// player's own level while talking, and everyone off when the roster changes. The presenter's
// timers are stood in for by calling advance() at the simulated times.
#include "app/talking_presenter.h"

#include <QtTest>

using namespace lumo;

class TalkingPresenterTest : public QObject {
    Q_OBJECT

    struct Watched {
        std::int64_t now = 0;
        bool ownTalking = false;
        int level = 0;
        int ownId = 2;
        QStringList seen;
        TalkingPresenter presenter{{[this] { return now; }, [this] { return ownTalking; }, [this] { return level; },
                                    [this] { return ownId; }}};
        Watched()
        {
            QObject::connect(&presenter, &TalkingPresenter::talkingChanged,
                             [this](int id, bool on) { seen << QStringLiteral("%1 %2").arg(id).arg(on ? "on" : "off"); });
            QObject::connect(&presenter, &TalkingPresenter::ownLevel,
                             [this](int id, int percent) { seen << QStringLiteral("own %1 %2").arg(id).arg(percent); });
        }
    };

private slots:
    void aTalkerShowsUntilHisVoiceStops()
    {
        Watched w;
        for (w.now = 1000; w.now <= 1600; w.now += 60) {
            w.presenter.voiceArrived(4);
            w.presenter.advance();
        }
        QCOMPARE(w.seen, QStringList{"4 on"});
        const std::int64_t last = w.now - 60;
        w.now = last + TalkingIndicator::ClearAfterMs - 1;
        w.presenter.advance();
        QCOMPARE(w.seen, QStringList{"4 on"});
        w.now = last + 299;
        w.presenter.advance();
        QCOMPARE(w.seen, (QStringList{"4 on", "4 off"}));
        QVERIFY(!w.presenter.talking(4));
    }

    void ownLevelWhileTalkingAndEveryoneOffOnANewRoster()
    {
        Watched w;
        w.presenter.voiceArrived(1);
        w.ownTalking = true;
        w.level = 0;
        w.presenter.ownTalkingChanged();
        w.level = 128;
        w.presenter.sessionEvent(SessionEvent{SessionEvent::Kind::TalkingChanged, -1, {}});
        w.ownTalking = false;
        w.presenter.sessionEvent(SessionEvent{SessionEvent::Kind::TalkingChanged, -1, {}});
        w.ownTalking = true;
        w.ownId = 3;  // the new roster gave the player another id
        w.presenter.sessionEvent(SessionEvent{SessionEvent::Kind::RosterChanged, -1, {}});
        QCOMPARE(w.seen, (QStringList{"1 on", "own 2 0", "own 2 100", "own 2 -1", "1 off", "own 3 100"}));
    }

    void levelsReadOnTheMeterScale_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<int>("percent");
        QTest::newRow("silence") << 0 << 0;
        QTest::newRow("below zero") << -5 << 0;
        QTest::newRow("quiet") << 1 << 14;
        QTest::newRow("loudest") << 128 << 100;
        QTest::newRow("past the scale") << 5000 << 100;
    }
    void levelsReadOnTheMeterScale()
    {
        QFETCH(int, level);
        QFETCH(int, percent);
        QCOMPARE(TalkingPresenter::levelPercent(level), percent);
    }
};

QTEST_MAIN(TalkingPresenterTest)
#include "talking_presenter_test.moc"
