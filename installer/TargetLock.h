#pragma once
// Installs and uninstalls that touch the same targets run one after another,
// so that requests arriving together give the results of some serial order
// (two installs of one bundle would otherwise remove each other's fresh
// copies). A lock holds a set of absolute, standardised paths; it waits until
// no lock held elsewhere in the process has a path equal to, above or below
// one of its own, then takes them all at once (so two locks never wait for
// each other). Installs whose targets are apart run side by side.
//
// Paths are compared as written: two names that reach one item through a
// symlink inside the install root are not seen as one.
#include <string>
#include <vector>

class VDTargetLock {
public:
    explicit VDTargetLock(std::vector<std::string> paths);
    ~VDTargetLock();
    VDTargetLock(const VDTargetLock&) = delete;
    VDTargetLock& operator=(const VDTargetLock&) = delete;

private:
    std::vector<std::string> paths_;
};
