// The main window's side of opening a path through address translators, against fake members
// on loopback: text written before the path is open waits until the partner is heard from (or
// a short while at most), keeps its order, and still goes when the window closes; the first
// probe heard from a member we asked a path to is answered with one more probe of ours.
#include "app/texts.h"
#include "dialog_harness.h"

#include <QtTest>

using namespace lumo;
using namespace lumo::test;

namespace {

constexpr int Ann = 0, Cyd = 1;  // the fake members: ann is member 0, cyd member 2, the window 1

std::vector<Bytes> only(const std::vector<FakePeer::Received>& received, int command)
{
    std::vector<Bytes> out;
    for (const auto& r : received)
        if (!r.bytes.empty() && r.bytes[0] == command) out.push_back(r.bytes);
    return out;
}

}  // namespace

class NatPathTest : public QObject {
    Q_OBJECT

    std::unique_ptr<DialogHarness> h;

    // Joined as member 1 of ann (0), me (1) and cyd (2), with ann ticked and clicked.
    bool joinAndPickAnn()
    {
        if (!h->join(h->roster({"ann", "me", "cyd"}, 1), 1)) return false;
        h->tick(0);
        h->click(0);
        return h->session().partner() == 0;
    }
    // The next `count` datagrams fake member `index` gets, and then nothing more: the window
    // sends what answers one datagram all at once.
    std::vector<Bytes> nextAtMember(int index, int count)
    {
        std::vector<Bytes> out;
        for (int i = 0; i < count; ++i)
            if (const auto datagram = h->member(index).next(3000)) out.push_back(datagram->bytes);
        for (const auto& more : h->member(index).collect(0)) out.push_back(more.bytes);
        return out;
    }
    QString annPathState() const { return h->rowOf(0)->text(MainDialog::PathColumn); }

private slots:
    void init()
    {
        DialogHarness::Options options;
        options.firstAddress = 60;
        h = std::make_unique<DialogHarness>(options);
        QVERIFY(h->ready());
    }
    void cleanup() { h.reset(); }

    void textWaitsUntilThePartnerIsHeard()
    {
        QVERIFY(joinAndPickAnn());
        h->write(QStringLiteral("hello ann"));
        QVERIFY(h->host().next(2000, cmd::PathRequest));
        const auto beforeProbe = h->member(Ann).collect(0);  // sent with the path request
        QCOMPARE(only(beforeProbe, cmd::PathOpener).size(), std::size_t(1));
        QVERIFY2(only(beforeProbe, cmd::ChatText).empty(), "the text went before ann was heard from");

        // ann's probe: answered with a confirmation, then the held text, then one probe of ours.
        h->member(Ann).send(makeHeaderOnly(cmd::PathProbe, 1, 0, Kind::PeerToPeer), h->toWindow());
        const std::vector<Bytes> expected{makeHeaderOnly(cmd::PathConfirm, 0, 1, Kind::PeerToPeer),
                                          makeChatText(0, 1, "hello ann"),
                                          makeHeaderOnly(cmd::PathProbe, 0, 1, Kind::PeerToPeer)};
        QCOMPARE(nextAtMember(Ann, 3), expected);

        // Only the first probe gets one back; members we did not ask get only the confirmation.
        h->member(Ann).send(makeHeaderOnly(cmd::PathProbe, 1, 0, Kind::PeerToPeer), h->toWindow());
        QCOMPARE(nextAtMember(Ann, 1), std::vector<Bytes>{makeHeaderOnly(cmd::PathConfirm, 0, 1, Kind::PeerToPeer)});
        h->member(Cyd).send(makeHeaderOnly(cmd::PathProbe, 1, 2, Kind::PeerToPeer), h->toWindow());
        QCOMPARE(nextAtMember(Cyd, 1), std::vector<Bytes>{makeHeaderOnly(cmd::PathConfirm, 2, 1, Kind::PeerToPeer)});

        // ann confirms: the path is open and text goes at once, without a path request.
        h->member(Ann).send(makeHeaderOnly(cmd::PathConfirm, 1, 0, Kind::PeerToPeer), h->toWindow());
        QTRY_COMPARE(annPathState(), text::PathOk);
        h->write(QStringLiteral("again"));
        QCOMPARE(nextAtMember(Ann, 1), std::vector<Bytes>{makeChatText(0, 1, "again")});
        QVERIFY(h->host().collect(0).empty());
    }

    void unansweredTextGoesAfterAWhileInOrder()
    {
        QVERIFY(joinAndPickAnn());
        h->write(QStringLiteral("one"));
        // cyd's confirmation opens cyd's path, not ann's, and does not release ann's text; the
        // next text waits behind the first.
        h->member(Cyd).send(makeHeaderOnly(cmd::PathConfirm, 1, 2, Kind::PeerToPeer), h->toWindow());
        QTRY_COMPARE(h->rowOf(2)->text(MainDialog::PathColumn), text::PathOk);
        QVERIFY(annPathState().isEmpty());
        h->write(QStringLiteral("two"));
        QVERIFY(only(h->member(Ann).collect(0), cmd::ChatText).empty());
        h->skipTime(MemberSession::PathWaitMs);
        const std::vector<Bytes> expected{makeChatText(0, 1, "one"), makeChatText(0, 1, "two")};
        QCOMPARE(only(h->member(Ann).collect(0), cmd::ChatText), expected);
    }

    void closingSendsHeldText()
    {
        QVERIFY(joinAndPickAnn());
        h->write(QStringLiteral("bye"));
        h->dialog().close();
        QCOMPARE(only(h->member(Ann).collect(0), cmd::ChatText), std::vector<Bytes>{makeChatText(0, 1, "bye")});
        QVERIFY(h->host().next(2000, cmd::LeaveNotice));
    }
};

QTEST_MAIN(NatPathTest)
#include "nat_path_test.moc"
