// Voice over a bad network: two real lumo processes whose voice passes through a relay in this
// test that drops, duplicates, reorders and delays datagrams. The listener must keep running and
// playing, pick the stream up again after gaps, and at 10 % loss still sound like the phrase.
#include "fake_peer.h"
#include "link_control.h"
#include "lumo_process.h"
#include "voice_judge.h"

#include <QProcess>
#include <QTimer>
#include <QtTest>

#include <random>

using namespace lumo;
using namespace lumo::test;

namespace {

const Ipv4 HostAddress = loopback(33);
const Ipv4 TalkerAddress = loopback(34);
const Ipv4 ListenerAddress = loopback(35);
const Ipv4 RelayAddress = loopback(36);

// Forwards every datagram it receives to `to`, after a seeded coin decides: drop it, send it
// twice, hold it back behind up to 3 later ones, and delay it by up to 40 ms.
class LossyRelay : public QObject {
public:
    struct Counts {
        int received = 0, dropped = 0, duplicated = 0, reordered = 0;
    };

    LossyRelay(Endpoint listen, Endpoint to, double loss, unsigned seed) : to_(to), loss_(loss), random_(seed)
    {
        bound_ = socket_.bind(QHostAddress(listen.address), listen.port);
        connect(&socket_, &QUdpSocket::readyRead, this, [this] { relay(); });
    }
    bool bound() const { return bound_; }
    const Counts& counts() const { return counts_; }

private:
    void relay()
    {
        while (socket_.hasPendingDatagrams()) {
            QByteArray datagram(int(socket_.pendingDatagramSize()), 0);
            if (socket_.readDatagram(datagram.data(), datagram.size()) < 0) continue;
            ++counts_.received;
            if (chance(loss_)) {
                ++counts_.dropped;
                continue;
            }
            if (chance(loss_ / 2)) {
                ++counts_.duplicated;
                later(datagram);
            }
            if (chance(loss_ > 0 ? 0.1 : 0.0)) {
                ++counts_.reordered;
                held_.push_back(datagram);  // goes out after the next 1 to 3 datagrams
                holdFor_ = 1 + int(random_() % 3);
                continue;
            }
            later(datagram);
            if (!held_.empty() && --holdFor_ <= 0) {
                for (const QByteArray& h : held_) later(h);
                held_.clear();
            }
        }
    }
    void later(const QByteArray& datagram)
    {
        QTimer::singleShot(loss_ > 0 ? int(random_() % 40) : 0, this, [this, datagram] {
            socket_.writeDatagram(datagram, QHostAddress(to_.address), to_.port);
        });
    }
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(random_) < p; }

    QUdpSocket socket_;
    Endpoint to_;
    double loss_;
    std::mt19937 random_;
    bool bound_ = false;
    std::vector<QByteArray> held_;
    int holdFor_ = 0;
    Counts counts_;
};

}  // namespace

class VoiceLossyTest : public QObject {
    Q_OBJECT

private slots:
    void listenerKeepsPlayingThroughLoss_data()
    {
        QTest::addColumn<double>("loss");
        QTest::addColumn<bool>("mustSoundLikeThePhrase");
        QTest::newRow("no loss") << 0.0 << true;
        QTest::newRow("10% loss") << 0.10 << true;
        QTest::newRow("30% loss") << 0.30 << false;
    }

    void listenerKeepsPlayingThroughLoss()
    {
        QFETCH(double, loss);
        QFETCH(bool, mustSoundLikeThePhrase);
        const auto phrase = phraseSamples();
        QVERIFY(!phrase.empty());
        QTemporaryDir work;
        const QString silence = work.filePath(QStringLiteral("silence.wav"));
        QVERIFY(writeSilentWav(silence.toStdString()));
        // A longer talk than one phrase: the phrase three times.
        const QString talk = work.filePath(QStringLiteral("talk.wav"));
        const QString phraseFile = QString::fromStdString(phrasePath().string());
        QCOMPARE(QProcess::execute(QStringLiteral("sox"), {phraseFile, phraseFile, phraseFile, talk}), 0);
        QVERIFY(QDir(work.path()).mkpath("talker") && QDir(work.path()).mkpath("listener"));

        OverlayStandIn talkerLink, listenerLink;
        FakePeer host(HostAddress, HostPort);
        LossyRelay relay({RelayAddress, MemberPort}, {ListenerAddress, MemberPort}, loss, 7);
        QVERIFY(relay.bound());
        LumoProcess talker(TalkerAddress, {"--audio", "wav:" + talk + ":" + work.filePath("talker")}, talkerLink.runtimeDirectory());
        LumoProcess listener(ListenerAddress, {"--audio", "wav:" + silence + ":" + work.filePath("listener")},
                             listenerLink.runtimeDirectory());
        QVERIFY(talker.waitUntilAnswering(host) && listener.waitUntilAnswering(host));
        QVERIFY(talkerLink.waitForMailbox() && listenerLink.waitForMailbox());

        // The talker knows the listener at the relay's address: all its voice crosses the relay.
        Roster roster;
        roster.count = 2;
        roster.records[0] = memberAt(0, "talker", TalkerAddress);
        roster.records[1] = memberAt(1, "listener", RelayAddress);
        host.send(makeRosterUpdate(0, roster), talker.memberEndpoint());
        host.send(makeRosterUpdate(1, roster), listener.memberEndpoint());
        QTest::qWait(200);

        QVERIFY(listenerLink.openAsOverlay());
        QVERIFY(talkerLink.post(link::to_main::SelectMember, 0));  // row 0 shows member 1
        QVERIFY(talkerLink.post(link::to_main::VoiceToggle, 1));
        auto question = listenerLink.next(link::to_overlay::CallRequest, 5000);
        QVERIFY2(question, "the listener asked nothing");
        QVERIFY(listenerLink.post(link::to_main::AcceptVoice, 1));  // row 1 shows member 0

        const std::string speakerFile = work.filePath("listener/peer-0.wav").toStdString();
        const int talkMs = int(3 * phrase.size() / 8);
        // Halfway through, the listener is playing; at the end it has played on.
        QTest::qWait(talkMs / 2);
        Wav midway;
        QVERIFY(readWav(speakerFile, &midway));
        QTest::qWait(talkMs / 2 + 800);
        QVERIFY(talkerLink.post(link::to_main::VoiceToggle, 0));
        QVERIFY2(listener.running() && talker.running(), "a process ended");
        // Still answering its group after all that.
        QVERIFY(listener.waitUntilAnswering(host, 2000));

        Wav played;
        QTRY_VERIFY_WITH_TIMEOUT(readWav(speakerFile, &played) && played.samples.size() > midway.samples.size(), 3000);
        const auto reference = codedPhrase(phrase);
        const std::size_t sentBlocks = 3 * reference.size();
        const std::size_t playedBlocks = played.samples.size() / BlockSamples;
        const std::vector<std::int16_t> rest(played.samples.begin() + BlockSamples, played.samples.end());
        const double match = matchedBlockShare(reference, rest);
        // What an unrelated sound of the same loudness scores: the talk played backwards.
        std::vector<std::vector<std::int16_t>> backwards(reference.rbegin(), reference.rend());
        for (auto& block : backwards) std::reverse(block.begin(), block.end());
        const double unrelated = matchedBlockShare(backwards, rest);
        const auto& c = relay.counts();
        qInfo("%.0f%% loss: relay received %d, dropped %d, duplicated %d, reordered %d; listener played %zu of %zu "
              "blocks sent; %.0f%% of its audible blocks match the phrase, %.0f%% match the phrase backwards",
              loss * 100, c.received, c.dropped, c.duplicated, c.reordered, playedBlocks, sentBlocks, 100 * match, 100 * unrelated);
        // Playing went on well past the first blocks: the player picked the stream up again.
        QVERIFY(playedBlocks > sentBlocks / 3);
        // Calibrated on the loss-free row: there about half the audible blocks match the phrase
        // closely and under a third match it backwards (voiced speech resembles itself).
        if (mustSoundLikeThePhrase)
            QVERIFY2(match > 0.4 && match > unrelated + 0.1, "the listener's sound is not recognisably the phrase");
    }
};

QTEST_MAIN(VoiceLossyTest)
#include "voice_lossy_test.moc"
