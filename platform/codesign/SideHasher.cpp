#include "platform/codesign/SideHasher.h"

#include <system_error>

#include "platform/codesign/FileAccess.h"
#include "platform/codesign/Sha256.h"

namespace pf::codesign {

SideHasher::~SideHasher() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        waiting_.reset();
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool SideHasher::add(UniqueFd file, std::string path, std::string sealedHex) {
    std::lock_guard lock(mutex_);
    // One file waiting is enough to keep this thread busy; the caller hashes
    // the next one itself, so both cores work.
    if (waiting_) return false;
    if (!thread_.joinable()) {
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            return false;
        }
    }
    waiting_.emplace(File{std::move(file), std::move(path), std::move(sealedHex)});
    changed_.notify_all();
    return true;
}

bool SideHasher::finish(std::string* why) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !waiting_ && !hashing_; });
    if (failure_.empty()) return true;
    *why = failure_;
    return false;
}

void SideHasher::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || waiting_; });
        if (stopping_) return;
        File file = std::move(*waiting_);
        waiting_.reset();
        hashing_ = true;
        const bool failed = !failure_.empty();
        lock.unlock();
        std::string reason;
        // After a failure the bundle fails anyway: the rest is not read.
        if (!failed) {
            const auto digest = sha256File(file.fd.get());
            if (!digest) reason = describeErrno("cannot read " + file.path);
            else if (toHex(*digest) != file.sealedHex) reason = file.path + " was modified after signing";
        }
        file.fd.reset();
        lock.lock();
        hashing_ = false;
        if (failure_.empty()) failure_ = std::move(reason);
        changed_.notify_all();
    }
}

} // namespace pf::codesign
