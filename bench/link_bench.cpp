// dorvane_link_bench: the fleet link's rows of the benchmark. A mosquitto
// broker with TLS (a CA made here) on this process's own loopback address,
// an outbox of kEvents events, and the link pinned to one CPU: how many
// events a second reach the broker's acknowledgement, and the link's steady
// memory afterwards (RSS, its private part, and PSS).
//
// dorvane_link_bench [EVENTS]: one line per figure on standard output; exit
// status 1 when a step fails. Every process it starts is ended by pid.
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/argv.h"
#include "tests/support/loopback.h"

namespace {

constexpr int kPort = 8883;

pid_t spawn(std::vector<std::string> argv, const std::string& log, int cpu) {
    std::vector<char*> args = testutil::argvOf(argv);
    fflush(stdout);  // the child must not write out what the parent buffered
    pid_t pid = fork();
    if (pid == 0) {
        if (cpu >= 0) {
            cpu_set_t set;
            CPU_ZERO(&set);
            CPU_SET(cpu, &set);
            sched_setaffinity(0, sizeof set, &set);
        }
        if (freopen(log.c_str(), "w", stdout) == nullptr || dup2(1, 2) < 0) {
            _exit(127);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

bool run(const std::vector<std::string>& argv, const std::string& log) {
    int status = 0;
    pid_t pid = spawn(argv, log, -1);
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

void stop(pid_t pid) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

void write(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

std::string read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The kB figure of a "Name:   123 kB" line of a /proc file.
long procKb(const std::string& path, const std::string& name) {
    std::string text = read(path);
    size_t at = text.find(name + ":");
    return at == std::string::npos ? -1 : atol(text.c_str() + at + name.size() + 1);
}

bool makeCa(const std::string& d, const std::string& host) {
    std::string ssl = "/usr/bin/openssl", log = d + "/openssl.log";
    std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                   "-nodes"};
    std::vector<std::string> ca = {ssl, "req", "-x509"};
    ca.insert(ca.end(), ec.begin(), ec.end());
    ca.insert(ca.end(), {"-keyout", d + "/ca.key", "-out", d + "/ca.crt", "-days", "2", "-subj",
                         "/CN=bench-ca"});
    std::vector<std::string> req = {ssl, "req"};
    req.insert(req.end(), ec.begin(), ec.end());
    req.insert(req.end(), {"-keyout", d + "/s.key", "-out", d + "/s.csr", "-subj", "/CN=b"});
    write(d + "/ext", "subjectAltName=IP:" + host + "\n");
    return run(ca, log) && run(req, log) &&
           run({ssl, "x509", "-req", "-in", d + "/s.csr", "-CA", d + "/ca.crt", "-CAkey",
                d + "/ca.key", "-CAcreateserial", "-out", d + "/s.crt", "-days", "2", "-extfile",
                d + "/ext"},
               log);
}

}  // namespace

int main(int argc, char** argv) {
    long events = argc > 1 ? atol(argv[1]) : 50000;
    char dirTemplate[] = "/tmp/dorvane-link-bench-XXXXXX";
    std::string d = mkdtemp(dirTemplate);
    std::string host = testutil::loopbackAddress(1);
    if (!makeCa(d, host)) {
        fprintf(stderr, "cannot make the test CA (see %s/openssl.log)\n", d.c_str());
        return 1;
    }
    write(d + "/mosquitto.conf", "listener " + std::to_string(kPort) + " " + host + "\ncafile " +
                                     d + "/ca.crt\ncertfile " + d + "/s.crt\nkeyfile " + d +
                                     "/s.key\nallow_anonymous true\nuser " +
                                     (getuid() == 0 ? "root" : getenv("USER")) + "\n");
    mkdir((d + "/outbox").c_str(), 0770);
    write(d + "/dorvane.conf", "outbox=" + d + "/outbox\n");
    write(d + "/link.conf", "broker=" + host + "\ncaFile=" + d +
                                "/ca.crt\nsite=S1\nunit=U1\nstateDir=" + d +
                                "/state\nserviceConfig=" + d + "/dorvane.conf\n");
    {
        std::ofstream out(d + "/outbox/current");
        for (long n = 1; n <= events; ++n) {
            out << "{\"v\":1,\"type\":\"access\",\"id\":\"0123456789abcdef-" << n
                << "\",\"time\":\"2026-12-09T17:25:45.123456Z\",\"seq\":" << n % 256
                << ",\"serial\":12,\"code\":\"04A1\",\"reader\":\"Door1\",\"result\":\"toggled\","
                   "\"outputs\":[{\"label\":\"RELAY_1\",\"state\":\"set\",\"confirmed\":true},"
                   "{\"label\":\"LED_1\",\"state\":\"set\",\"confirmed\":true}]}\n";
        }
    }
    pid_t broker =
        spawn({"/usr/sbin/mosquitto", "-c", d + "/mosquitto.conf"}, d + "/broker.log", -1);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    auto begin = std::chrono::steady_clock::now();
    pid_t link = spawn({DORVANE_LINK_BIN, "--config", d + "/link.conf"}, d + "/link.log", 0);
    std::string last = "id 0123456789abcdef-" + std::to_string(events) + "\n";
    bool done = false;
    for (int i = 0; i < 60000 && !done; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        done = read(d + "/state/cursor").find(last) != std::string::npos;
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::string proc = "/proc/" + std::to_string(link);
    long rss = procKb(proc + "/status", "VmRSS");
    long anon = procKb(proc + "/status", "RssAnon");
    long pss = procKb(proc + "/smaps_rollup", "Pss");
    stop(link);
    stop(broker);
    if (!done) {
        fprintf(stderr, "the link did not publish the outbox (see %s)\n", d.c_str());
        return 1;
    }
    printf("link over TLS, one CPU: %ld events in %.2f s: %.0f events/s (start-up included)\n",
           events, seconds, static_cast<double>(events) / seconds);
    printf("link steady memory with TLS: RSS %ld kB (private %ld kB), PSS %ld kB\n", rss, anon,
           pss);
    run({"/bin/rm", "-rf", d}, "/dev/null");
    return 0;
}
