// Round trips of reading 4 holding registers: this library, libmodbus and
// bare system calls (the floor), on one pty pair and one loopback TCP
// connection, against the same responder, in alternating rounds. Also the CPU
// the library burns while it waits out a silent reader, and its resident
// memory over many calls.
//
//   qvbench [--rounds R] [--calls N] [--pin same|split|none]   the table
//   qvbench --exchanges N --link rtu|tcp --client ours|libmodbus|floor
//                                          only N exchanges (for strace -c)
#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "qvmodbusrtu.h"
#include "responder.h"

namespace {

constexpr int kAddress = 4;  // the card number registers, as the demo polls them
constexpr int kCount = 4;
constexpr int kRate = 115200;
constexpr int kSilentStation = BENCH_STATION + 1;

double NowUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

// What the responder holds at kAddress..kAddress+3, high byte first.
bool ExpectedValues(const unsigned char *b) {
    for (int i = 0; i < kCount; ++i)
        if ((b[2 * i] << 8 | b[2 * i + 1]) != 0x1000 + kAddress + i) return false;
    return true;
}

// The pty pair, the listener and the responder child.
struct Rig {
    std::string portsDir, slavePath;
    int slaveFd = -1;  // kept open so the master never sees a hang-up between rounds
    int tcpPort = 0;
    pid_t child = -1;
    int stopFd = -1;

    bool Start() {
        char tmpl[] = "/tmp/qvbench.XXXXXX";
        if (!mkdtemp(tmpl)) return false;
        portsDir = tmpl;
        int master = -1;
        char name[256] = {0};
        if (openpty(&master, &slaveFd, name, nullptr, nullptr) != 0) return false;
        slavePath = name;
        termios t;
        tcgetattr(slaveFd, &t);
        cfmakeraw(&t);
        tcsetattr(slaveFd, TCSANOW, &t);
        std::string link = portsDir + "/COM1";
        if (symlink(name, link.c_str()) != 0) return false;
        setenv("QV_PORTS_DIR", portsDir.c_str(), 1);

        int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t al = sizeof a;
        if (lfd < 0 || bind(lfd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(lfd, 8) != 0 ||
            getsockname(lfd, reinterpret_cast<sockaddr *>(&a), &al) != 0)
            return false;
        tcpPort = ntohs(a.sin_port);

        int stop[2];
        if (pipe2(stop, O_CLOEXEC) != 0) return false;
        child = fork();
        if (child < 0) return false;
        if (child == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            close(stop[1]);
            close(slaveFd);
            Pin(1);
            BenchResponderRun(master, lfd, stop[0]);
            _exit(0);
        }
        close(stop[0]);
        close(master);
        close(lfd);
        stopFd = stop[1];
        Pin(0);
        return true;
    }

    // "same" (the default) runs client and responder on one core: every
    // round trip then costs exactly the CPU work of both sides, with no
    // cross-core wake-up, whose latency is the same for every client and on a
    // virtual machine shared with other work is mostly noise. "split" puts
    // them on a core each; "none" leaves it to the scheduler.
    std::string pin = "same";
    void Pin(int cpu) const {
        if (pin == "none") return;
        if (pin == "same") cpu = 0;
        if (cpu >= sysconf(_SC_NPROCESSORS_ONLN)) return;
        cpu_set_t s;
        CPU_ZERO(&s);
        CPU_SET(cpu, &s);
        sched_setaffinity(0, sizeof s, &s);
    }

    ~Rig() {
        if (stopFd >= 0) close(stopFd);
        if (child > 0) waitpid(child, nullptr, 0);
        if (slaveFd >= 0) close(slaveFd);
        if (!portsDir.empty()) {
            unlink((portsDir + "/COM1").c_str());
            rmdir(portsDir.c_str());
        }
    }
};

class Client {
public:
    virtual ~Client() = default;
    virtual const char *Name() const = 0;
    virtual bool Open() = 0;
    // One read of the 4 registers; true when the right values came back.
    virtual bool Call(int station = BENCH_STATION) = 0;
    // One read of a register that does not exist; true when it failed as an
    // exception reply (illegal data address) says.
    virtual bool Refused() { return false; }
    virtual void Close() = 0;
};

bool OursRefused() {
    unsigned char b[2];
    return QV_ReadRegister(BENCH_STATION, BENCH_MISSING_ADDRESS, 1, b) == -1 && errno == QV_E_EXCEPTION_BASE + 2;
}

class OursRtu : public Client {
public:
    explicit OursRtu(const Rig &r) : rig_(r) {}
    const char *Name() const override { return "qvmodbusrtu"; }
    bool Open() override { return QV_ComInitial(1, kRate) == 1; }
    bool Call(int station) override {
        unsigned char b[2 * kCount];
        return QV_ReadRegister(station, kAddress, kCount, b) == 2 * kCount && ExpectedValues(b);
    }
    bool Refused() override { return OursRefused(); }
    void Close() override {
        QV_ComFree();
        ioctl(rig_.slaveFd, TIOCNXCL);  // the library took the line exclusively; let the others in
    }

private:
    const Rig &rig_;
};

class OursTcp : public Client {
public:
    explicit OursTcp(const Rig &r) : rig_(r) {}
    const char *Name() const override { return "qvmodbusrtu"; }
    bool Open() override { return QV_TCPConnect("127.0.0.1", rig_.tcpPort) == 1; }
    bool Call(int station) override {
        unsigned char b[2 * kCount];
        return QV_ReadRegister(station, kAddress, kCount, b) == 2 * kCount && ExpectedValues(b);
    }
    bool Refused() override { return OursRefused(); }
    void Close() override { QV_TCPFree(); }

private:
    const Rig &rig_;
};

class Libmodbus : public Client {
public:
    Libmodbus(const Rig &r, bool tcp) : rig_(r), tcp_(tcp) {}
    const char *Name() const override { return "libmodbus"; }
    bool Open() override {
        ctx_ =
            tcp_ ? modbus_new_tcp("127.0.0.1", rig_.tcpPort) : modbus_new_rtu(rig_.slavePath.c_str(), kRate, 'N', 8, 1);
        if (!ctx_) return false;
        modbus_set_slave(ctx_, BENCH_STATION);
        modbus_set_response_timeout(ctx_, 2, 0);
        if (modbus_connect(ctx_) != 0) {
            modbus_free(ctx_);
            ctx_ = nullptr;
            return false;
        }
        return true;
    }
    bool Call(int) override {
        std::uint16_t regs[kCount];
        if (modbus_read_registers(ctx_, kAddress, kCount, regs) != kCount) return false;
        for (int i = 0; i < kCount; ++i)
            if (regs[i] != 0x1000 + kAddress + i) return false;
        return true;
    }
    bool Refused() override {
        std::uint16_t reg;
        return modbus_read_registers(ctx_, BENCH_MISSING_ADDRESS, 1, &reg) == -1 && errno == EMBXILADD;
    }
    void Close() override {
        if (!ctx_) return;
        modbus_close(ctx_);
        modbus_free(ctx_);
        ctx_ = nullptr;
    }

private:
    const Rig &rig_;
    bool tcp_;
    modbus_t *ctx_ = nullptr;
};

// Write the request, poll, read the reply's known length: no framing, no
// checks. What no library can beat on this machine.
class Floor : public Client {
public:
    Floor(const Rig &r, bool tcp) : rig_(r), tcp_(tcp) {
        const unsigned char rtu[] = {BENCH_STATION, 0x03, 0x00, kAddress, 0x00, kCount, 0, 0};
        const unsigned char mbap[] = {0, 0, 0, 0, 0, 6, BENCH_STATION, 0x03, 0x00, kAddress, 0x00, kCount};
        if (tcp_) {
            req_.assign(mbap, mbap + sizeof mbap);
            replyLen_ = 9 + 2 * kCount;
        } else {
            req_.assign(rtu, rtu + sizeof rtu);
            std::uint16_t crc = 0xFFFF;  // once, outside the timed calls
            for (int i = 0; i < 6; ++i) {
                crc ^= req_[i];
                for (int b = 0; b < 8; ++b) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
            }
            req_[6] = crc & 0xFF;
            req_[7] = crc >> 8;
            replyLen_ = 5 + 2 * kCount;
        }
    }
    const char *Name() const override { return "bare syscalls"; }
    bool Open() override {
        if (tcp_) {
            fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<std::uint16_t>(rig_.tcpPort));
            int one = 1;
            if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return false;
            setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        } else {
            fd_ = open(rig_.slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        }
        return fd_ >= 0;
    }
    bool Call(int) override {
        if (write(fd_, req_.data(), req_.size()) != static_cast<ssize_t>(req_.size())) return false;
        unsigned char b[64];
        int got = 0;
        while (got < replyLen_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 2000) <= 0) return false;
            ssize_t r = read(fd_, b + got, static_cast<size_t>(replyLen_ - got));
            if (r <= 0) return false;
            got += static_cast<int>(r);
        }
        return ExpectedValues(b + replyLen_ - 2 * kCount - (tcp_ ? 0 : 2));
    }
    void Close() override {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    const Rig &rig_;
    bool tcp_;
    std::vector<unsigned char> req_;
    int replyLen_ = 0;
    int fd_ = -1;
};

struct Series {
    Client *client;
    std::vector<double> us;
    long failures = 0;
    double Quantile(double q) const {
        std::vector<double> s = us;
        std::sort(s.begin(), s.end());
        if (s.empty()) return 0;
        size_t i = static_cast<size_t>(q * static_cast<double>(s.size() - 1) + 0.5);
        return s[i];
    }
};

// Rounds in rotating order, so drift of the machine hits all clients alike.
// With refused, each call reads a register that does not exist instead.
bool Measure(std::vector<Series> &series, int rounds, int calls, bool refused = false) {
    for (auto &s : series) s.us.reserve(static_cast<size_t>(rounds) * static_cast<size_t>(calls));
    for (int r = 0; r < rounds; ++r) {
        for (size_t k = 0; k < series.size(); ++k) {
            Series &s = series[(k + static_cast<size_t>(r)) % series.size()];
            if (!s.client->Open()) {
                std::fprintf(stderr, "qvbench: %s does not open\n", s.client->Name());
                return false;
            }
            for (int i = 0; i < 50; ++i) s.client->Call();  // warm caches and the line
            for (int i = 0; i < calls; ++i) {
                double t0 = NowUs();
                bool ok = refused ? s.client->Refused() : s.client->Call();
                double t1 = NowUs();
                s.us.push_back(t1 - t0);
                if (!ok) ++s.failures;
            }
            s.client->Close();
        }
    }
    return true;
}

double CpuUs() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
}

// CPU share of one core while a command waits out a reader that never answers.
double WaitingShare(Client &c, double *wallMs) {
    if (!c.Open()) return -1;
    double cpu0 = CpuUs(), t0 = NowUs();
    bool ok = c.Call(kSilentStation);
    double t1 = NowUs(), cpu1 = CpuUs();
    c.Close();
    *wallMs = (t1 - t0) / 1000;
    if (ok) return -1;  // a silent reader cannot have answered
    return (cpu1 - cpu0) / (t1 - t0);
}

long RssKiB() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

long Calls(Client &c, long n) {
    if (!c.Open()) return n;
    long bad = 0;
    for (long i = 0; i < n; ++i)
        if (!c.Call()) ++bad;
    c.Close();
    return bad;
}

std::string CpuModel() {
    std::ifstream f("/proc/cpuinfo");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "?";
}

const char *Verdict(bool met) {
    return met ? "met" : "MISSED";
}

int Usage() {
    std::fprintf(stderr,
                 "usage: qvbench [--rounds R] [--calls N] [--pin same|split|none]\n"
                 "       qvbench --exchanges N --link rtu|tcp --client ours|libmodbus|floor\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    int rounds = 20, calls = 2000;
    long exchanges = -1;
    std::string link = "rtu", client = "ours", pin = "same";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) return Usage();
        if (a == "--rounds")
            rounds = std::atoi(argv[++i]);
        else if (a == "--calls")
            calls = std::atoi(argv[++i]);
        else if (a == "--exchanges")
            exchanges = std::atol(argv[++i]);
        else if (a == "--link")
            link = argv[++i];
        else if (a == "--client")
            client = argv[++i];
        else if (a == "--pin")
            pin = argv[++i];
        else
            return Usage();
    }
    if (rounds < 1 || calls < 1 || (pin != "same" && pin != "split" && pin != "none")) return Usage();
    signal(SIGPIPE, SIG_IGN);

    Rig rig;
    rig.pin = pin;
    if (!rig.Start()) {
        std::perror("qvbench: setting up the pty and the responder");
        return 1;
    }
    OursRtu oursRtu(rig);
    OursTcp oursTcp(rig);
    Libmodbus mbRtu(rig, false), mbTcp(rig, true);
    Floor floorRtu(rig, false), floorTcp(rig, true);

    if (exchanges >= 0) {
        bool tcp = link == "tcp";
        Client *c = client == "ours"        ? (tcp ? static_cast<Client *>(&oursTcp) : &oursRtu)
                    : client == "libmodbus" ? (tcp ? static_cast<Client *>(&mbTcp) : &mbRtu)
                    : client == "floor"     ? (tcp ? static_cast<Client *>(&floorTcp) : &floorRtu)
                                            : nullptr;
        if (!c || (link != "rtu" && link != "tcp")) return Usage();
        return Calls(*c, exchanges) == 0 ? 0 : 1;
    }

    utsname u{};
    uname(&u);
    std::printf("machine: %ld cores, %s, Linux %s\n", sysconf(_SC_NPROCESSORS_ONLN), CpuModel().c_str(), u.release);
    std::printf(
        "reading %d holding registers, %d rounds x %d calls per client and link, %d baud pty, "
        "client and responder on %s\n\n",
        kCount, rounds, calls, kRate,
        pin == "same"    ? "one core"
        : pin == "split" ? "a core each"
                         : "cores of the scheduler's choice");

    // Memory first, before the timing samples take their own.
    long bad = Calls(oursRtu, 500) + Calls(oursTcp, 500);
    long rss1k = RssKiB();
    bad += Calls(oursRtu, 49500) + Calls(oursTcp, 49500);
    long rss100k = RssKiB();

    double wallRtu = 0, wallTcp = 0;
    double shareRtu = WaitingShare(oursRtu, &wallRtu);
    double shareTcp = WaitingShare(oursTcp, &wallTcp);

    std::vector<Series> rtu = {{&oursRtu, {}, 0}, {&mbRtu, {}, 0}, {&floorRtu, {}, 0}};
    std::vector<Series> tcp = {{&oursTcp, {}, 0}, {&mbTcp, {}, 0}, {&floorTcp, {}, 0}};
    if (!Measure(rtu, rounds, calls) || !Measure(tcp, rounds, calls)) return 1;

    bool allMet = true;
    std::printf("%-5s %-14s %12s %12s %10s\n", "link", "client", "median (us)", "p99 (us)", "failures");
    for (auto *set : {&rtu, &tcp}) {
        for (auto &s : *set)
            std::printf("%-5s %-14s %12.1f %12.1f %10ld\n", set == &rtu ? "RTU" : "TCP", s.client->Name(),
                        s.Quantile(0.5), s.Quantile(0.99), s.failures);
    }
    // An exception reply: a reader refusing a register, answered at once.
    std::vector<Series> rtuRefused = {{&oursRtu, {}, 0}, {&mbRtu, {}, 0}};
    std::vector<Series> tcpRefused = {{&oursTcp, {}, 0}, {&mbTcp, {}, 0}};
    const int refusedRounds = rounds < 4 ? rounds : 4;
    if (!Measure(rtuRefused, refusedRounds, calls, true) || !Measure(tcpRefused, refusedRounds, calls, true)) return 1;
    for (auto *set : {&rtuRefused, &tcpRefused}) {
        for (auto &s : *set)
            std::printf("%-5s %-14s %12.1f %12.1f %10ld   (exception reply)\n", set == &rtuRefused ? "RTU" : "TCP",
                        s.client->Name(), s.Quantile(0.5), s.Quantile(0.99), s.failures);
        allMet = allMet && (*set)[0].failures == 0;
    }
    std::printf("\n");
    for (auto *set : {&rtu, &tcp}) {
        double ours = (*set)[0].Quantile(0.5), mb = (*set)[1].Quantile(0.5), fl = (*set)[2].Quantile(0.5);
        bool m1 = ours <= 0.9 * mb, m2 = ours <= 1.1 * fl;
        allMet = allMet && m1 && m2 && (*set)[0].failures == 0;
        std::printf("%s median: ours/libmodbus %.2f (target <= 0.90, %s), ours/floor %.2f (target <= 1.10, %s)\n",
                    set == &rtu ? "RTU" : "TCP", ours / mb, Verdict(m1), ours / fl, Verdict(m2));
    }
    bool cpuMet = shareRtu >= 0 && shareTcp >= 0 && shareRtu < 0.01 && shareTcp < 0.01;
    std::printf(
        "waiting out a silent reader: RTU %.3f %% of a core over %.0f ms, TCP %.3f %% over %.0f ms "
        "(target < 1 %%, %s)\n",
        100 * shareRtu, wallRtu, 100 * shareTcp, wallTcp, Verdict(cpuMet));
    bool memMet = rss100k - rss1k <= 64 && bad == 0;  // a few pages of noise at most
    std::printf(
        "resident memory: %ld KiB after 1 000 calls, %ld KiB after 100 000 (growth %ld KiB, %ld failed "
        "calls; target no growth, %s)\n",
        rss1k, rss100k, rss100k - rss1k, bad, Verdict(memMet));
    allMet = allMet && cpuMet && memMet;
    std::printf("\n%s\n", allMet ? "all targets met" : "some targets MISSED");
    return 0;
}
