#pragma once
// The platform's item copy, made safe for a root process. The item open at a
// validated source descriptor (a file, or a directory or bundle with its
// whole tree) is copied under a fresh temporary name in the target's folder
// (stale temporaries of earlier runs there are removed first): files with
// their dates, directories recursively, symlinks inside the tree as
// symlinks. Staged files are made with no permission for anyone and folders
// 0700; each item then gets its owner and group, and only then its mode (the
// top item the install's, the others the source's). Every byte is hashed
// through the descriptor that reads it and, for a source inside a signed
// bundle, held against the bundle's seal: an item the seal does not hold
// exactly (bytes, mode, link text), one it does not know, or one that went
// missing fails the copy. Below the top, ownership failures are ignored (the
// install's ownership walk) and a symlink is re-owned itself, never
// followed. Only commit() gives the item its final name; until then, and
// when the copy is dropped, the temporary is removed.
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
    // The owner of every item, and the top item's mode.
    struct Attributes {
        uid_t uid = 0;
        gid_t gid = 0;
        mode_t mode = 0;
    };
    struct Failure {
        bool unsealed = false;      // the source is not what the seal holds
        int topAttributesErrno = 0; // the top's owner or mode could not be set
        pf::Error error;            // otherwise: the file error, as the platform reports it
    };

    // nullptr with *failure filled when the copy fails (nothing is left behind).
    static std::unique_ptr<VDStagedCopy> stage(const Source& source, int folderFd, const std::string& targetPath,
                                               const Attributes& attributes, Failure* failure);
    ~VDStagedCopy();
    VDStagedCopy(const VDStagedCopy&) = delete;
    VDStagedCopy& operator=(const VDStagedCopy&) = delete;

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
