// A throw-away PostgreSQL cluster for a test program (tests/support/pg-cluster): started on
// first use, stopped and deleted when the program ends. uri() is empty when PostgreSQL is not
// installed or would not start; why() says which.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#ifndef LUMO_SOURCE_DIR
#error "LUMO_SOURCE_DIR must name the source tree"
#endif

namespace lumo::test {

class PgCluster {
public:
    static PgCluster& shared()
    {
        static PgCluster cluster;
        return cluster;
    }
    const std::string& uri() const { return uri_; }
    const std::string& why() const { return why_; }
    // A new, empty database in the cluster; its URI, or empty on failure.
    std::string createDatabase(const std::string& name)
    {
        if (uri_.empty()) return {};
        std::string output;
        if (run(("database '" + folder_ + "/cluster' " + name).c_str(), &output, false) != 0) return {};
        return output.substr(0, output.find('\n'));
    }

    ~PgCluster()
    {
        if (folder_.empty()) return;
        run("stop");
        std::system(("rm -rf '" + folder_ + "'").c_str());
    }

private:
    PgCluster()
    {
        char pattern[] = "/tmp/lumo-pg-XXXXXX";
        if (!::mkdtemp(pattern)) {
            why_ = "cannot make a temporary folder";
            return;
        }
        folder_ = pattern;
        std::string output;
        const int status = run("start", &output);
        if (status == 0 && output.rfind("postgresql://", 0) == 0) {
            uri_ = output.substr(0, output.find('\n'));
        } else {
            why_ = status == 77 ? "PostgreSQL is not installed" : "the PostgreSQL cluster did not start";
        }
    }

    int run(const char* command, std::string* output = nullptr, bool withFolder = true)
    {
        std::string line = std::string(LUMO_SOURCE_DIR) + "/tests/support/pg-cluster " + command;
        if (withFolder) line += " '" + folder_ + "/cluster'";
        FILE* pipe = ::popen(line.c_str(), "r");
        if (!pipe) return -1;
        char buffer[512];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            if (output && output->size() < 4096) output->append(buffer, n);
        }
        const int status = ::pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string folder_;
    std::string uri_;
    std::string why_;
};

}  // namespace lumo::test
