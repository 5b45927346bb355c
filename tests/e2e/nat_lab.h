// A small internet in network namespaces, for testing members behind address translators:
// a public segment (a bridge) where the group host lives, home routers that translate their
// members' addresses (MASQUERADE) and let in only datagrams of flows their members opened, and
// members behind them or straight on the public segment. Every namespace belongs to this run
// (the names carry the process id) and is removed when the lab goes away; namespaces left by a
// run that crashed are removed by the next one. Only documentation addresses are used and
// nothing is routed out of the namespaces.
//
// Addresses: public segment 203.0.113.0/24 (host .1, router i's outside .10+i, public members
// .20+); behind router 0 192.0.2.0/24, behind router 1 198.51.100.0/24 (router .1, members .2+).
#pragma once

#include "core/wire/wire.h"
#include "private_folders.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sched.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <map>
#include <optional>
#include <vector>

namespace lumo::test::nat {

// The full path of a system tool (ip, iptables, ...), also where PATH lacks the sbin folders.
inline QString toolPath(const QString& name)
{
    const QString found = QStandardPaths::findExecutable(name);
    if (!found.isEmpty()) return found;
    return QStandardPaths::findExecutable(name, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
}

inline QString ipTool() { return toolPath(QStringLiteral("ip")); }

struct CommandResult {
    int code = -1;
    QString output;
};

// Runs a program to its end (bounded), with `input` on its standard input.
inline CommandResult runCommand(const QString& program, const QStringList& arguments, const QByteArray& input = {})
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(5000)) return {-1, program + QStringLiteral(": cannot be started")};
    if (!input.isEmpty()) process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(15000)) {
        process.kill();
        process.waitForFinished(1000);
        return {-1, program + QStringLiteral(" did not finish")};
    }
    const int code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return {code, QString::fromLocal8Bit(process.readAll()).trimmed()};
}

inline QString dotted(Ipv4 address) { return QString::fromStdString(dottedAddress(address)); }
inline Ipv4 ipv4(int a, int b, int c, int d) { return Ipv4(a) << 24 | Ipv4(b) << 16 | Ipv4(c) << 8 | Ipv4(d); }

// Puts the calling thread into a network namespace until the scope ends. Sockets created
// meanwhile stay in that namespace for their whole life, which is how this test process hosts
// main windows "inside" the lab's machines.
class NamespaceScope {
public:
    explicit NamespaceScope(const QString& name)
    {
        saved_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target = ::open(QFile::encodeName(QStringLiteral("/run/netns/") + name).constData(), O_RDONLY | O_CLOEXEC);
        entered_ = saved_ >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
        if (target >= 0) ::close(target);
    }
    ~NamespaceScope()
    {
        if (entered_) ::setns(saved_, CLONE_NEWNET);
        if (saved_ >= 0) ::close(saved_);
    }
    bool entered() const { return entered_; }
    NamespaceScope(const NamespaceScope&) = delete;
    NamespaceScope& operator=(const NamespaceScope&) = delete;

private:
    int saved_ = -1;
    bool entered_ = false;
};

// How a router picks the outside port of a new flow.
enum class Mapping {
    KeepsPort,       // MASQUERADE: the member's own port when it is free (port-restricted cone)
    PerDestination,  // MASQUERADE --random: a new random port for every destination (symmetric)
};

// The datagrams a router's "unsolicited" counters tell apart: LUMO command and kind (first and
// fourth byte of the UDP payload).
struct DatagramName {
    int command;
    int kind;
    const char* name;
};
inline const std::vector<DatagramName>& countedDatagrams()
{
    static const std::vector<DatagramName> names{
        {11, 3, "JoinRequest"},   {13, 3, "LeaveNotice"},   {14, 3, "PathRequest"}, {21, 1, "Ack"},
        {22, 1, "RosterUpdate"},  {23, 1, "HostPathProbe"}, {14, 2, "PathOpener"},  {23, 2, "PathProbe"},
        {21, 2, "PathConfirm"},   {15, 2, "ChatText"},      {25, 2, "VoiceGroup"},  {24, 2, "VoiceDirect"},
        {13, 2, "VoiceStopNotice"},
    };
    return names;
}

using DropCounts = std::map<QString, long long>;  // datagram name -> packets dropped

inline QString describe(const DropCounts& drops)
{
    QStringList parts;
    for (const auto& [name, count] : drops)
        if (count > 0) parts << QStringLiteral("%1 x%2").arg(name).arg(count);
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QStringLiteral(", "));
}

inline DropCounts difference(const DropCounts& now, const DropCounts& before)
{
    DropCounts out;
    for (const auto& [name, count] : now) {
        const auto it = before.find(name);
        const long long d = count - (it == before.end() ? 0 : it->second);
        if (d != 0) out[name] = d;
    }
    return out;
}

class NatLab {
public:
    static constexpr const char* Prefix = "lumonat-";
    static Ipv4 hostAddress() { return ipv4(203, 0, 113, 1); }

    NatLab()
    {
        static int serial = 0;
        prefix_ = QStringLiteral("%1%2-%3-").arg(QLatin1String(Prefix)).arg(::getpid()).arg(++serial);
    }
    ~NatLab() { removeAll(); }
    NatLab(const NatLab&) = delete;
    NatLab& operator=(const NatLab&) = delete;

    // Why this machine cannot run the lab (not root, no ip or iptables, namespaces refused, no
    // address translation inside them), or an empty text when it can. Also removes namespaces
    // that runs which are no longer alive left behind.
    static QString unavailableReason()
    {
        if (::geteuid() != 0) return QStringLiteral("network namespaces need root (running as uid %1)").arg(::geteuid());
        for (const char* tool : {"ip", "iptables", "iptables-restore"})
            if (toolPath(QString::fromLatin1(tool)).isEmpty())
                return QStringLiteral("%1 is not installed").arg(QLatin1String(tool));
        removeStale();
        NatLab probe;
        const QString ns = probe.addNamespace(QStringLiteral("probe"));
        if (ns.isEmpty()) return QStringLiteral("a network namespace could not be set up: ") + probe.error();
        if (!probe.routerRules(ns, Mapping::PerDestination, false))
            return QStringLiteral("address translation in a namespace was refused: ") + probe.error();
        return {};
    }

    // The public segment with the group host's machine on it.
    bool addPublicSegment()
    {
        publicNs_ = addNamespace(QStringLiteral("pub"));
        return !publicNs_.isEmpty() && ip(publicNs_, {"link", "add", "pub", "type", "bridge"}) &&
               ip(publicNs_, {"link", "set", "pub", "up"}) &&
               ip(publicNs_, {"addr", "add", dotted(hostAddress()) + "/24", "dev", "pub"});
    }
    QString publicNamespace() const { return publicNs_; }

    // A home router on the public segment; returns its index or -1.
    int addRouter(Mapping mapping)
    {
        const int index = int(routers_.size());
        if (index > 1) return fail(QStringLiteral("two routers at most")), -1;
        Router router;
        router.ns = addNamespace(QStringLiteral("r%1").arg(index));
        router.outside = ipv4(203, 0, 113, 10 + index);
        router.inside = index == 0 ? ipv4(192, 0, 2, 1) : ipv4(198, 51, 100, 1);
        router.mapping = mapping;
        if (router.ns.isEmpty()) return -1;
        const QString port = QStringLiteral("r%1").arg(index);
        const bool ok = link(publicNs_, port, router.ns, QStringLiteral("wan")) &&
                        ip(publicNs_, {"link", "set", port, "master", "pub", "up"}) &&
                        ip(router.ns, {"addr", "add", dotted(router.outside) + "/24", "dev", "wan"}) &&
                        ip(router.ns, {"link", "set", "wan", "up"}) &&
                        ip(router.ns, {"link", "add", "lan", "type", "bridge"}) &&
                        ip(router.ns, {"addr", "add", dotted(router.inside) + "/24", "dev", "lan"}) &&
                        ip(router.ns, {"link", "set", "lan", "up"}) &&
                        setting(router.ns, QStringLiteral("ipv4/ip_forward"), "1") &&
                        setting(router.ns, QStringLiteral("ipv4/conf/all/send_redirects"), "0") &&
                        setting(router.ns, QStringLiteral("ipv4/conf/lan/send_redirects"), "0") &&
                        routerRules(router.ns, mapping, true);
        if (!ok) return -1;
        routers_.push_back(router);
        return index;
    }

    // A member's machine behind router `router`, or on the public segment when it is -1.
    // Returns its address (0 on failure).
    Ipv4 addMember(const QString& name, int router)
    {
        const QString ns = addNamespace(name);
        if (ns.isEmpty()) return 0;
        Ipv4 address = 0, gateway = 0;
        bool ok = false;
        if (router < 0) {
            address = ipv4(203, 0, 113, 20 + publicMembers_++);
            const QString port = QStringLiteral("m%1").arg(publicMembers_);
            ok = link(publicNs_, port, ns, QStringLiteral("eth0")) &&
                 ip(publicNs_, {"link", "set", port, "master", "pub", "up"});
        } else {
            if (router >= int(routers_.size())) return fail(QStringLiteral("no router %1").arg(router)), 0;
            Router& r = routers_[std::size_t(router)];
            address = r.inside + Ipv4(++r.members);
            gateway = r.inside;
            const QString port = QStringLiteral("l%1").arg(r.members);
            ok = link(r.ns, port, ns, QStringLiteral("eth0")) && ip(r.ns, {"link", "set", port, "master", "lan", "up"});
        }
        ok = ok && ip(ns, {"addr", "add", dotted(address) + "/24", "dev", "eth0"}) && ip(ns, {"link", "set", "eth0", "up"});
        if (ok && gateway) ok = ip(ns, {"route", "add", "default", "via", dotted(gateway)});
        if (!ok) return 0;
        memberNs_[name] = ns;
        return address;
    }

    QString memberNamespace(const QString& name) const { return memberNs_.value(name); }
    QString routerNamespace(int router) const { return routers_.at(std::size_t(router)).ns; }
    Ipv4 routerOutside(int router) const { return routers_.at(std::size_t(router)).outside; }
    int routerCount() const { return int(routers_.size()); }

    // Lets router `router` loop datagrams from its inside to its own outside address back in
    // (NAT loopback, "hairpinning"): a datagram to outside:`port` goes to `member`:`memberPort`,
    // coming from the router, so the answer passes it again.
    bool addLoopback(int router, std::uint16_t port, Ipv4 member, std::uint16_t memberPort)
    {
        const Router& r = routers_.at(std::size_t(router));
        const QString inside = dotted(r.inside & 0xFFFFFF00u) + "/24";
        if (!r.loopbackBase) {
            // Only what was looped back is translated; members talking across the home network
            // (the router's switch) keep their own addresses.
            if (!iptables(r.ns, {"-t", "nat", "-A", "POSTROUTING", "-o", "lan", "-s", inside, "-d", inside, "-m",
                                 "conntrack", "--ctstate", "DNAT", "-j", "MASQUERADE"}))
                return false;
            routers_.at(std::size_t(router)).loopbackBase = true;
        }
        return iptables(r.ns, {"-t", "nat", "-A", "PREROUTING", "-i", "lan", "-d", dotted(r.outside), "-p", "udp", "--dport",
                               QString::number(port), "-j", "DNAT", "--to-destination",
                               dotted(member) + ":" + QString::number(memberPort)});
    }

    // How long router `router` keeps a quiet flow open (real home routers: 30 s to a few minutes).
    bool setFlowTimeout(int router, int seconds)
    {
        const QString ns = routerNamespace(router);
        const QByteArray value = QByteArray::number(seconds);
        return setting(ns, QStringLiteral("netfilter/nf_conntrack_udp_timeout"), value) &&
               setting(ns, QStringLiteral("netfilter/nf_conntrack_udp_timeout_stream"), value);
    }

    // Datagrams router `router` has refused so far, by name.
    DropCounts drops(int router) const
    {
        DropCounts out;
        const auto result = runCommand(ipTool(), {"netns", "exec", routerNamespace(router), toolPath("iptables"), "-L",
                                                  "UNSOLICITED", "-v", "-x", "-n"});
        static const QRegularExpression row(QStringLiteral(R"(^\s*(\d+)\s+\d+\s+DROP\b.*/\* (\S+) \*/)"));
        for (const QString& line : result.output.split('\n')) {
            const auto match = row.match(line);
            if (match.hasMatch()) out[match.captured(2)] += match.captured(1).toLongLong();
        }
        return out;
    }

    // The outside ports router `router` gave flows of `member` (from `memberPort`), by the
    // destination they go to ("203.0.113.1:3555" -> 3550), read from the router's flow table;
    // nothing when the kernel does not show that table.
    std::optional<std::map<QString, int>> mappedPorts(int router, Ipv4 member, std::uint16_t memberPort) const
    {
        std::map<QString, int> out;
        const auto result = runCommand(ipTool(),
                                       {"netns", "exec", routerNamespace(router), "cat", "/proc/net/nf_conntrack"});
        if (result.code != 0) return std::nullopt;
        static const QRegularExpression flow(QStringLiteral(
            R"(udp\s.*?src=(\S+) dst=(\S+) sport=(\d+) dport=(\d+) .*?src=(\S+) dst=(\S+) sport=(\d+) dport=(\d+))"));
        for (const QString& line : result.output.split('\n')) {
            const auto m = flow.match(line);
            if (!m.hasMatch() || m.captured(1) != dotted(member) || m.captured(3).toInt() != memberPort) continue;
            out[m.captured(2) + ":" + m.captured(4)] = m.captured(8).toInt();
        }
        return out;
    }

    QString error() const { return error_; }
    // False when the kernel lacks the u32 match: then every refused datagram counts as "other".
    bool namesDatagrams() const { return namesDatagrams_; }

    // Removes every namespace of this lab (which also removes its links and rules).
    void removeAll()
    {
        for (auto it = created_.rbegin(); it != created_.rend(); ++it)
            runCommand(ipTool(), {"netns", "del", *it});
        created_.clear();
    }

    // Removes namespaces left by runs of this test whose process is gone.
    static void removeStale()
    {
        const auto list = runCommand(ipTool(), {"netns", "list"});
        static const QRegularExpression stale(QStringLiteral("^%1(\\d+)-\\S+").arg(QLatin1String(Prefix)));
        for (const QString& line : list.output.split('\n')) {
            const auto m = stale.match(line);
            if (!m.hasMatch()) continue;
            const long pid = m.captured(1).toLong();
            if (pid != ::getpid() && !QDir(QStringLiteral("/proc/%1").arg(pid)).exists())
                runCommand(ipTool(), {"netns", "del", m.captured(0)});
        }
    }

private:
    struct Router {
        QString ns;
        Ipv4 outside = 0, inside = 0;
        Mapping mapping = Mapping::KeepsPort;
        int members = 0;
        bool loopbackBase = false;
    };

    bool fail(const QString& why)
    {
        if (error_.isEmpty()) error_ = why;
        return false;
    }
    bool check(const QString& what, const CommandResult& result)
    {
        return result.code == 0 || fail(what + QStringLiteral(" -> ") + result.output);
    }
    QString addNamespace(const QString& role)
    {
        const QString name = prefix_ + role;
        if (!check(QStringLiteral("ip netns add ") + name, runCommand(ipTool(), {"netns", "add", name}))) return {};
        created_.push_back(name);
        return ip(name, {"link", "set", "lo", "up"}) ? name : QString();
    }
    bool ip(const QString& ns, const QStringList& arguments)
    {
        const QStringList all = QStringList{"-n", ns} + arguments;
        return check(QStringLiteral("ip ") + all.join(' '), runCommand(ipTool(), all));
    }
    bool inNamespace(const QString& ns, const QString& program, const QStringList& arguments, const QByteArray& input = {})
    {
        const QStringList all = QStringList{"netns", "exec", ns, toolPath(program)} + arguments;
        return check(QStringLiteral("ip ") + all.join(' '), runCommand(ipTool(), all, input));
    }
    // Writes a network setting (/proc/sys/net/...) of namespace `ns`.
    bool setting(const QString& ns, const QString& name, const QByteArray& value)
    {
        NamespaceScope scope(ns);
        QFile file(QStringLiteral("/proc/sys/net/") + name);
        if (scope.entered() && file.open(QIODevice::WriteOnly) && file.write(value) == value.size()) return true;
        return fail(QStringLiteral("cannot set ") + name + QStringLiteral(" in ") + ns);
    }
    bool iptables(const QString& ns, const QStringList& arguments)
    {
        return inNamespace(ns, QStringLiteral("iptables"), arguments);
    }
    // A veth pair from `nsA` (named `a`) to `nsB` (named `b`).
    bool link(const QString& nsA, const QString& a, const QString& nsB, const QString& b)
    {
        return ip(nsA, {"link", "add", a, "type", "veth", "peer", "name", b, "netns", nsB});
    }

    // A home router's rules: translate what leaves by "wan"; let in (to the router or through
    // it) only datagrams of flows opened from inside; count and drop everything else by name. The
    // home network itself is a switch: members behind one router reach each other directly.
    bool routerRules(const QString& ns, Mapping mapping, bool byName)
    {
        QString rules = QStringLiteral(
            "*nat\n:PREROUTING ACCEPT [0:0]\n:INPUT ACCEPT [0:0]\n:OUTPUT ACCEPT [0:0]\n:POSTROUTING ACCEPT [0:0]\n"
            "-A POSTROUTING -o wan -j MASQUERADE%1\nCOMMIT\n"
            "*filter\n:INPUT DROP [0:0]\n:FORWARD DROP [0:0]\n:OUTPUT ACCEPT [0:0]\n:UNSOLICITED - [0:0]\n"
            "-A INPUT -i lo -j ACCEPT\n"
            "-A INPUT -m conntrack --ctstate ESTABLISHED,RELATED -j ACCEPT\n"
            "-A INPUT -j UNSOLICITED\n"
            "-A FORWARD -i lan -o lan -j ACCEPT\n"
            "-A FORWARD -i lan -o wan -j ACCEPT\n"
            "-A FORWARD -m conntrack --ctstate ESTABLISHED,RELATED -j ACCEPT\n"
            "-A FORWARD -j UNSOLICITED\n")
                            .arg(mapping == Mapping::PerDestination ? QStringLiteral(" --random") : QString());
        if (byName)
            for (const DatagramName& d : countedDatagrams())
                rules += QStringLiteral("-A UNSOLICITED -p udp -m u32 --u32 \"0>>22&0x3C@8&0xFF0000FF=0x%1\" "
                                        "-m comment --comment %2 -j DROP\n")
                             .arg(QString::number((d.command << 24) | d.kind, 16).rightJustified(8, '0'))
                             .arg(QLatin1String(d.name));
        rules += QStringLiteral("-A UNSOLICITED -m comment --comment other -j DROP\nCOMMIT\n");
        if (inNamespace(ns, QStringLiteral("iptables-restore"), {}, rules.toLatin1())) return true;
        if (!byName) return false;
        // Without the u32 match every refused datagram is counted as "other".
        error_.clear();
        namesDatagrams_ = false;
        return routerRules(ns, mapping, false);
    }

    QString prefix_;
    QString publicNs_;
    std::vector<Router> routers_;
    int publicMembers_ = 0;
    QMap<QString, QString> memberNs_;
    QStringList created_;
    QString error_;
    bool namesDatagrams_ = true;
};

// A real lumo process on a machine of the lab: `ip netns exec NS lumo --bind ADDRESS ...`,
// offscreen, with its own runtime directory. It dies with the test process.
class LabProcess {
public:
    LabProcess(const QString& ns, Ipv4 address, const QStringList& arguments, const QString& runtimeDirectory)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDirectory);
        usePrivateFolders(env, home_.path());
        process_.setProcessEnvironment(env);
        process_.setWorkingDirectory(QStringLiteral(LUMO_RUN_DIR));
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        process_.start(ipTool(), QStringList{"netns", "exec", ns, QStringLiteral(LUMO_BINARY), "--bind", dotted(address)} +
                                     arguments);
    }
    ~LabProcess() { stop(); }
    bool running() const { return process_.state() == QProcess::Running; }
    // Ends it as closing the window would (SIGTERM); true when it ended by itself.
    bool stop(int ms = 5000)
    {
        if (process_.state() == QProcess::NotRunning) return true;
        process_.terminate();
        if (process_.waitForFinished(ms)) return process_.exitStatus() == QProcess::NormalExit;
        process_.kill();
        process_.waitForFinished(1000);
        return false;
    }

private:
    QTemporaryDir home_;  // its configuration and data folders
    QProcess process_;
};

}  // namespace lumo::test::nat
