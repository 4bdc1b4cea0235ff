// Soak: a long run of exchanges between the library and the simulated reader,
// over a pty and over loopback TCP, with random faults on the reader's side.
// Every success must carry exactly the reader's registers, every reply that
// cannot be right must fail, nothing may be written past a caller's buffer,
// and no descriptor or memory (LeakSanitizer) may be left behind.
//
// QV_SOAK_EXCHANGES sets the number of exchanges (default 100 000, a quarter
// of them over TCP); QV_SOAK_SEED the random seed. A manual long run:
//   QV_SOAK_EXCHANGES=2000000 ctest -L soak --timeout 0
#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pty_port.h"
#include "qvmodbusrtu.h"
#include "qvregisters.h"
#include "readersim.h"

using namespace readersim;
using testsupport::NowMs;
using testsupport::PortsDir;

namespace {

long EnvLong(const char *name, long fallback) {
    const char *v = std::getenv(name);
    return v && *v ? std::atol(v) : fallback;
}

int OpenDescriptors() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

constexpr int kFirstReg = 1, kLastReg = 10;  // 40001-40010: stable without a card
const int kWritable[] = {qvreg::kReadParams, qvreg::kLedBeep, qvreg::kUnused8, qvreg::kUnused9, qvreg::kUnused10};
constexpr std::size_t kGuard = 64;  // bytes after each caller buffer that must stay untouched
constexpr std::uint8_t kGuardByte = 0xCC;
constexpr double kFastMs = 1500;  // a fast fault fails well inside the 2000 ms reply wait
constexpr int kStrayGapMs = 1;    // gaps of split replies and before stray bytes

enum class Expect { Success, Failure, Either };

// What the library must make of a reply with fault f on the given link.
// Slow faults are those the library can only recognise by waiting out the
// reply wait: no reply; on the serial line a reply whose function code has
// no completion rule (a wrong code); on TCP a length field that promises
// bytes that never come (the simulator's bad CRC there). An exception reply
// is complete with its five bytes on either link.
struct FaultCase {
    Fault fault;
    Expect expect;
    bool slow;
};

FaultCase Classify(Fault f, bool tcp, std::uint8_t function) {
    switch (f) {
        case Fault::None:
        case Fault::Split:      // pieces are joined (serial) or collected by the MBAP length (TCP)
        case Fault::Delay:      // well inside the reply wait
        case Fault::Oversized:  // a well-formed frame: the caller gets what its buffer holds, no more
            return {f, Expect::Success, false};
        case Fault::Stray:
            // The stray bytes follow the reply after a gap: the reply has usually
            // completed (by its length or the MBAP length) before they come, and
            // fails its check when they come with it. Either way the next
            // exchange must not see them (purge before the write).
            return {f, Expect::Either, false};
        case Fault::BadCrc:  // a serial 0x46 reply completes only by its CRC
            return {f, Expect::Failure, tcp || function == 0x46};
        case Fault::WrongCode:
            return {f, Expect::Failure, !tcp};
        case Fault::Exception:
            return {f, Expect::Failure, false};
        case Fault::NoReply:
            return {f, Expect::Failure, true};
    }
    return {f, Expect::Failure, true};
}

struct Tally {
    std::map<std::string, long> succeeded, failed;
    std::map<std::string, double> ms;
    long exchanges = 0;
    std::string Report() const {
        std::ostringstream s;
        s << exchanges << " exchanges;";
        for (auto &[k, v] : succeeded) s << " " << k << " ok " << v;
        for (auto &[k, v] : failed) s << " " << k << " -1 " << v;
        s << "; seconds spent:";
        for (auto &[k, v] : ms) s << " " << k << " " << static_cast<long>(v / 1000 + 0.5);
        return s.str();
    }
};

class Soak {
public:
    Soak(Server &server, bool tcp, std::uint32_t seed) : server_(server), tcp_(tcp), rng_(seed) { Sync(); }

    // One command with fault f; returns false (and a message) on a wrong result.
    // A fault drawn as a fast one that this command could only recognise by
    // waiting (a bad CRC on a serial 0x46 reply) is left out, so the slow
    // ones stay few.
    bool Exchange(Fault f, bool mayBeSlow, Tally &tally, std::string &why) {
        const int kind = std::uniform_int_distribution<int>(0, 99)(rng_);
        const std::uint8_t function = kind < 85 ? 0x03 : kind < 92 ? 0x06 : kind < 96 ? 0x10 : 0x46;
        if (!mayBeSlow && Classify(f, tcp_, function).slow) f = Fault::None;
        const FaultCase fc = Classify(f, tcp_, function);
        if (f != Fault::None) server_.InjectFault(f, 1);
        double t0 = NowMs();
        Outcome o = kind < 85 ? Read() : kind < 92 ? WriteOne() : kind < 96 ? WriteMany() : DeviceInfo();
        double ms = NowMs() - t0;
        ++tally.exchanges;
        tally.ms[readersim::FaultName(f)] += ms;
        (o.ok ? tally.succeeded : tally.failed)[readersim::FaultName(f)]++;

        std::ostringstream s;
        s << (tcp_ ? "TCP " : "serial ") << o.what << " with fault " << readersim::FaultName(f) << ": ";
        if (!o.guardIntact) {
            why = s.str() + "wrote past the caller's buffer";
            return false;
        }
        if (o.ok && !o.valuesRight) {
            why = s.str() + "succeeded with wrong data: " + o.detail;
            return false;
        }
        if (fc.expect == Expect::Success && !o.ok) {
            why = s.str() + "failed (" + std::to_string(o.result) + ") where it must succeed";
            return false;
        }
        if (fc.expect == Expect::Failure && o.result != -1) {
            why = s.str() + "returned " + std::to_string(o.result) + " where it must fail with -1";
            return false;
        }
        if (!fc.slow && ms > kFastMs) {
            why = s.str() + "took " + std::to_string(ms) + " ms";
            return false;
        }
        if (fc.slow && (ms < 1900 || ms > 4000)) {
            why = s.str() + "returned after " + std::to_string(ms) + " ms, not after the 2000 ms reply wait";
            return false;
        }
        return true;
    }

private:
    struct Outcome {
        std::string what;
        int result = -1;
        bool ok = false;
        bool valuesRight = true;
        bool guardIntact = true;
        std::string detail;
    };

    // The reader's registers as the test expects them.
    void Sync() {
        server_.WithReader([&](Reader &r) {
            for (int a = kFirstReg; a <= kLastReg; ++a) regs_[a] = r.Register(a);
            return 0;
        });
    }

    static std::vector<std::uint8_t> Guarded(std::size_t n) {
        return std::vector<std::uint8_t>(n + kGuard, kGuardByte);
    }
    static bool GuardIntact(const std::vector<std::uint8_t> &b, std::size_t n) {
        for (std::size_t i = n; i < b.size(); ++i)
            if (b[i] != kGuardByte) return false;
        return true;
    }

    Outcome Read() {
        int a = std::uniform_int_distribution<int>(kFirstReg, kLastReg)(rng_);
        int count = std::uniform_int_distribution<int>(1, kLastReg - a + 1)(rng_);
        auto buf = Guarded(2 * static_cast<std::size_t>(count));
        Outcome o;
        o.what = "read of " + std::to_string(count) + " from " + std::to_string(a);
        o.result = QV_ReadRegister(1, a, count, buf.data());
        o.ok = o.result > 0;
        o.guardIntact = GuardIntact(buf, 2 * static_cast<std::size_t>(count));
        if (o.ok) {
            o.valuesRight = o.result == 2 * count;
            for (int i = 0; i < count && o.valuesRight; ++i) {
                int v = buf[2 * i] << 8 | buf[2 * i + 1];
                if (v != regs_[a + i]) {
                    o.valuesRight = false;
                    o.detail = "register " + std::to_string(a + i) + " read " + std::to_string(v) + ", holds " +
                               std::to_string(regs_[a + i]);
                }
            }
            if (o.result != 2 * count) o.detail = "result " + std::to_string(o.result);
        }
        return o;
    }

    Outcome WriteOne() {
        int a = kWritable[std::uniform_int_distribution<int>(0, 4)(rng_)];
        int v = std::uniform_int_distribution<int>(0, 0xFFFF)(rng_);
        Outcome o;
        o.what = "write of " + std::to_string(a);
        o.result = QV_WriteRegister(1, a, v);
        o.ok = o.result > 0;
        Sync();  // a failed write may still have been carried out (its reply was lost)
        if (o.ok) o.valuesRight = o.result == 1 && regs_[a] == v;
        return o;
    }

    Outcome WriteMany() {
        int a = std::uniform_int_distribution<int>(qvreg::kUnused8, kLastReg)(rng_);
        int count = kLastReg - a + 1;
        std::vector<std::uint8_t> data(2 * static_cast<std::size_t>(count));
        for (auto &b : data) b = static_cast<std::uint8_t>(rng_());
        Outcome o;
        o.what = "write of " + std::to_string(count) + " from " + std::to_string(a);
        o.result = QV_WriteMultiRegister(1, a, count, data.data());
        o.ok = o.result > 0;
        Sync();
        if (o.ok) {
            o.valuesRight = o.result == 1;
            for (int i = 0; i < count; ++i)
                o.valuesRight = o.valuesRight && regs_[a + i] == (data[2 * i] << 8 | data[2 * i + 1]);
        }
        return o;
    }

    Outcome DeviceInfo() {
        auto buf = Guarded(QV_DEVICE_INFO_SIZE);
        Outcome o;
        o.what = "device information";
        o.result = QV_GetDeviceInfo(1, buf.data());
        o.ok = o.result > 0;
        o.guardIntact = GuardIntact(buf, QV_DEVICE_INFO_SIZE);
        if (o.ok) o.valuesRight = o.result >= qvreg::kInfoUsed && std::memcmp(buf.data(), "QV-LF125", 8) == 0;
        return o;
    }

    Server &server_;
    bool tcp_;
    std::mt19937 rng_;
    std::map<int, int> regs_;
};

// Runs n exchanges: about one in six with a fast fault, and `slow` slow ones
// spread over the run.
void RunExchanges(Server &server, bool tcp, long n, int slow, std::uint32_t seed, Tally &tally) {
    std::mt19937 rng(seed ^ 0x5eed);
    std::vector<Fault> fast = {Fault::Split, Fault::Delay, Fault::Oversized, Fault::Exception};
    std::vector<Fault> slowFaults = {Fault::NoReply};
    if (tcp) {
        fast.push_back(Fault::WrongCode);
        slowFaults.push_back(Fault::BadCrc);
    } else {
        fast.push_back(Fault::BadCrc);
        slowFaults.push_back(Fault::WrongCode);
    }
    if (n < 1000) slow = 0;  // a short run has no room for 2-second waits
    Soak soak(server, tcp, seed);
    std::string why;
    std::size_t slowDone = 0;
    for (long i = 0; i < n; ++i) {
        Fault f = Fault::None;
        bool slowTurn = slow > 0 && i % (n / slow + 1) == n / slow / 2;
        if (slowTurn)
            f = slowFaults[slowDone++ % slowFaults.size()];
        else if (std::uniform_int_distribution<int>(0, 199)(rng) == 0)
            f = Fault::Stray;  // rarer: each costs a pause below
        else if (std::uniform_int_distribution<int>(0, 5)(rng) == 0)
            f = fast[std::uniform_int_distribution<std::size_t>(0, fast.size() - 1)(rng)];
        ASSERT_TRUE(soak.Exchange(f, slowTurn, tally, why)) << "exchange " << i << ": " << why;
        // Let the stray bytes land before the next request: its purge (serial)
        // or drain (TCP) must then keep them out of its reply. Bytes that come
        // after a request went out would spoil any protocol's next reply.
        if (f == Fault::Stray) std::this_thread::sleep_for(std::chrono::milliseconds(kStrayGapMs + 20));
        if (i % 1000 == 999) {
            // One request on the wire per command, never a retry.
            ASSERT_EQ(server.Requests().size(), 1000u) << "exchanges " << i - 999 << "-" << i;
            server.ClearRequests();
        }
    }
}

class SoakTest : public ::testing::Test {
protected:
    void SetUp() override {
        total_ = EnvLong("QV_SOAK_EXCHANGES", 100000);
        seed_ = static_cast<std::uint32_t>(EnvLong("QV_SOAK_SEED", 20240601));
        fdsBefore_ = OpenDescriptors();
    }
    void TearDown() override { EXPECT_EQ(OpenDescriptors(), fdsBefore_) << "descriptors left open"; }
    static Options NoCard() {
        Options o;
        o.cardPresent = false;  // the card registers stay zero: every register is stable
        return o;
    }
    static void FastFaults(Server &s) {
        s.UpdateFaultSettings([](readersim::FaultSettings &f) {
            f.gapMs = kStrayGapMs;
            f.pieces = 3;
            f.delayMs = 3;
        });
    }
    long total_ = 0;
    std::uint32_t seed_ = 0;
    int fdsBefore_ = 0;
};

}  // namespace

TEST_F(SoakTest, SerialLineWithFaults) {
    Tally tally;
    {
        PortsDir dir;
        Reader reader(NoCard());
        Server server(reader);
        ASSERT_FALSE(server.ServePty(dir.path(), 1).empty());
        FastFaults(server);
        ASSERT_EQ(QV_ComInitial(1, 115200), 1);
        RunExchanges(server, false, total_ - total_ / 4, 6, seed_, tally);
        QV_ComFree();
    }
    RecordProperty("tally", tally.Report());
    std::printf("%s\n", tally.Report().c_str());
    EXPECT_GT(tally.succeeded["none"], 0);
    EXPECT_GT(tally.succeeded["split"] + tally.succeeded["oversized"], 0) << "the faults were drawn";
}

TEST_F(SoakTest, TcpWithFaults) {
    Tally tally;
    {
        Reader reader(NoCard());
        Server server(reader);
        int port = server.ServeTcp(0);
        ASSERT_GT(port, 0);
        FastFaults(server);
        ASSERT_EQ(QV_TCPConnect("127.0.0.1", port), 1);
        RunExchanges(server, true, total_ / 4, 4, seed_ + 1, tally);
        QV_TCPFree();
    }
    RecordProperty("tally", tally.Report());
    std::printf("%s\n", tally.Report().c_str());
    EXPECT_GT(tally.succeeded["none"], 0);
    EXPECT_GT(tally.failed["wrongcode"] + tally.failed["exception"], 0) << "the faults were drawn";
}
