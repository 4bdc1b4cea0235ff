// Pseudo-terminals presented to the library as COM ports, and a peer on
// their master side that plays the reader in tests.
#pragma once

#include <string>

#include "bytes.h"

namespace testsupport {

// A temporary ports directory, made the library's through QV_PORTS_DIR.
class PortsDir {
public:
    PortsDir();
    ~PortsDir();
    PortsDir(const PortsDir &) = delete;
    PortsDir &operator=(const PortsDir &) = delete;
    const std::string &path() const { return path_; }
    void Link(const std::string &name, const std::string &target) const;

private:
    std::string path_;
    std::string oldEnv_;
    bool hadEnv_ = false;
};

// One pty pair; the slave is entered in a ports directory as COM<number>.
class PtyPort {
public:
    PtyPort(const PortsDir &dir, int number);
    ~PtyPort();
    PtyPort(const PtyPort &) = delete;
    PtyPort &operator=(const PtyPort &) = delete;

    int master() const { return master_; }
    const std::string &slavePath() const { return slavePath_; }
    // Reads up to n bytes from the master, waiting at most timeoutMs in all.
    Bytes Read(size_t n, int timeoutMs) const;
    void Write(const Bytes &b) const;
    // Everything queued on the master within timeoutMs of quiet.
    Bytes Drain(int quietMs = 20) const;

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

}  // namespace testsupport
