// Each row of the attack table against this build's lumo: the attack fails, the victim keeps
// its place and its answers, and the bytes towards an attacked IP stay within their bounds.
// bench/attack_table_bench prints the same rows, for this build or an older one.
#include "attack_rows.h"

#include <QtTest>

using namespace lumo;
using namespace lumo::test;

class AttackTableTest : public QObject {
    Q_OBJECT

    static void verify(const attack::Row& row)
    {
        qInfo("%s: attacker got %s; %zu bytes in, %zu out (%.2f per byte); victim: %s", row.attack.c_str(),
              row.attackerGot.c_str(), row.bytesIn, row.bytesOut, row.ratio(), row.victimShows.c_str());
        QVERIFY2(row.held, row.attack.c_str());
    }

private slots:
    void aNeighbourCannotTakeAMembersPath() { verify(attack::pathTakeover()); }
    void aNeighbourThatSpeaksKeysLosesTheFirstContactRace() { verify(attack::firstContactRace()); }
    void rejoinFromAnotherPortTakesNothing() { verify(attack::rejoinTakeover()); }
    void rejoinSignedByAnotherKeyTakesNothing() { verify(attack::rejoinTakeover(true)); }
    void oneIpCannotFillTheGroup() { verify(attack::oneIpLocksTheGroup()); }
    void forgedJoinsAndRequestsReflectLittle()
    {
        for (const attack::Row& row : attack::reflection(4)) verify(row);
    }
    void forgedPathRequestsDoNotSilenceAMember() { verify(attack::forgedPathRequests(12)); }
    void newSourcesResetNoBudget() { verify(attack::newSourcesResetNobody()); }
};

QTEST_GUILESS_MAIN(AttackTableTest)
#include "attack_table_test.moc"
