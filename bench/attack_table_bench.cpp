// The attack table: every attack row a stranger with nothing but addresses can try, run against
// real lumo processes on loopback, printed as a Markdown table of what the attacker got, the
// bytes out per byte in at the attacked IP, and what the victim's program showed.
//
//   attack_table_bench [LUMO_BINARY] [SECONDS] [--killed]
//
// LUMO_BINARY defaults to this build's lumo; give an older build to print its table beside this
// one's. SECONDS (default 6) is how long each flood of row 4 lasts. --killed adds the row of a
// member killed with SIGKILL, which takes up to two and a half minutes of real time.
#include "attack_rows.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace lumo;
using namespace lumo::test;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // Absolute: the processes start in the run directory.
    if (argc > 1) lumoBinary() = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    const int seconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 6;
    // Row 3b runs in real time, up to two and a half minutes: only when asked for.
    const bool killed = argc > 3 && std::string(argv[3]) == "--killed";
    if (!QFile::exists(lumoBinary())) {
        std::fprintf(stderr, "attack_table_bench: no lumo at %s\n", qPrintable(lumoBinary()));
        return 2;
    }
    std::printf("lumo: %s\n\n", qPrintable(lumoBinary()));
    std::printf("| attack | attacker got | bytes in | bytes out | out per in | victim shows | holds |\n");
    std::printf("|---|---|---:|---:|---:|---|---|\n");
    const auto print = [](const attack::Row& row) {
        std::printf("| %s | %s | %zu | %zu | %.2f | %s | %s |\n", row.attack.c_str(), row.attackerGot.c_str(), row.bytesIn,
                    row.bytesOut, row.ratio(), row.victimShows.c_str(), row.held ? "yes" : "NO");
        std::fflush(stdout);
    };
    print(attack::pathTakeover());
    print(attack::firstContactRace());
    print(attack::rejoinTakeover());
    print(attack::rejoinTakeover(true));
    print(attack::oneIpLocksTheGroup());
    if (killed) print(attack::killedMemberFreed(150));
    for (const attack::Row& row : attack::reflection(seconds)) print(row);
    print(attack::forgedPathRequests(2 * seconds));
    print(attack::newSourcesResetNobody());
    return 0;
}
