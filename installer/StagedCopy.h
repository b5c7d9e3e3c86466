#pragma once
// The platform's item copy, made safe for a root process. The item open at a
// validated source descriptor (a file, or a directory or bundle with its
// whole tree) is copied under a fresh temporary name in the target's folder:
// files with their permission bits and dates, directories recursively,
// symlinks inside the tree as symlinks. The staged items stay unreachable to
// others (files 0600, folders 0700) until their own bits are applied. Every
// byte is hashed through the descriptor that reads it and, for a source
// inside a signed bundle, held against the bundle's seal: an item the seal
// does not hold exactly (bytes, mode, link text), one it does not know, or
// one that went missing fails the copy. Items below the top get the owner and
// group (the install's ownership walk: its failures are ignored, a symlink is
// re-owned itself, never followed). Only commit() gives the item its final
// name; until then, and when the copy is dropped, the temporary is removed.
#include <sys/types.h>

#include <memory>
#include <string>

#include "platform/system/UniqueFd.h"
#include "platform/foundation/Error.h"

class VDBundleSeal;

class VDStagedCopy {
public:
    struct Source {
        int fd = -1;                        // validated, open for reading
        std::string path;                   // for error messages
        const VDBundleSeal* seal = nullptr; // nullptr: a source no seal covers
        std::string sealedPath;             // the source's path in the seal
    };
    struct Failure {
        bool unsealed = false; // the source is not what the seal holds
        pf::Error error;       // otherwise: the file error, as the platform reports it
    };

    // nullptr with *failure filled when the copy fails (nothing is left behind).
    static std::unique_ptr<VDStagedCopy> stage(const Source& source, int folderFd, const std::string& targetPath,
                                               uid_t uid, gid_t gid, Failure* failure);
    ~VDStagedCopy();
    VDStagedCopy(const VDStagedCopy&) = delete;
    VDStagedCopy& operator=(const VDStagedCopy&) = delete;

    // The staged top item, for its owner, group and mode (also after commit).
    int fd() const { return top_.get(); }
    // Gives the staged item its final name in the folder; never replaces an
    // existing item (EEXIST). 0 or the errno.
    int commit(const std::string& leaf);

    VDStagedCopy(pf::UniqueFd folder, std::string temporaryName, pf::UniqueFd top);

private:
    pf::UniqueFd folder_;
    std::string temporaryName_;
    pf::UniqueFd top_;
    bool committed_ = false;
};
