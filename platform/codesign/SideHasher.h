#pragma once
// Hashes a bundle's large files on a second thread while the walk over the
// bundle goes on, so that checking a bundle uses two cores. Each file is
// still held against its sealed digest, only later; the bundle verifies
// when the walk and every file here passed. A thread is started at the
// first file and ends with the object.
#include <condition_variable>
#include <optional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/system/UniqueFd.h"

namespace pf::codesign {

class SideHasher {
public:
    // Files at least this large are worth a hand-over.
    static constexpr long long kMinBytes = 1 << 20;

    SideHasher() = default;
    ~SideHasher(); // files not hashed yet are dropped
    SideHasher(const SideHasher&) = delete;
    SideHasher& operator=(const SideHasher&) = delete;

    // Takes the file (open at offset 0) to be compared with the sealed hex
    // digest; path is for the reason. False when a file already waits here
    // or no thread can be started: the caller then hashes the file itself.
    bool add(UniqueFd file, std::string path, std::string sealedHex);

    // Waits until every file is hashed; false with the first failure's
    // reason in *why.
    bool finish(std::string* why);

private:
    struct File {
        UniqueFd fd;
        std::string path;
        std::string sealedHex;
    };
    void run();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<File> waiting_; // one at most: the caller hashes the next itself
    bool hashing_ = false; // a file taken off the queue is being hashed
    bool stopping_ = false;
    std::string failure_;
    std::thread thread_;
};

} // namespace pf::codesign
