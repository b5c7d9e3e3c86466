#include "installer/StagedCopy.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "installer/BundleSeal.h"
#include "installer/FileCalls.h"
#include "installer/StagingItems.h"
#include "installer/TreeRemoval.h"
#include "platform/codesign/Sha256.h"

namespace {

constexpr std::size_t kCopyBufferBytes = 1u << 20;
constexpr int kTemporaryNameAttempts = 16;
constexpr int kSourceOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;

std::string joinPath(const std::string& base, const std::string& leaf) {
    if (leaf.empty()) return base;
    if (base.empty()) return leaf;
    return base + "/" + leaf;
}

bool isSpecialType(unsigned char type) {
    return type == DT_CHR || type == DT_BLK || type == DT_FIFO || type == DT_SOCK;
}

// One attempt at copying the source tree under one name.
class Copier {
public:
    Copier(const VDStagedCopy::Source& source, const std::string& targetPath,
           const VDStagedCopy::Attributes& attributes, VDStagedCopy::Failure* failure, std::vector<char>& buffer)
        : source_(source), targetPath_(targetPath), attributes_(attributes), failure_(failure), buffer_(buffer) {}

    // Copies the top item; its descriptor lands in *top.
    bool copyTop(const struct stat& st, int dstFolder, const std::string& name, pf::UniqueFd* top) {
        if (!copyItem(source_.fd, st, dstFolder, name, "", 0, top)) return false;
        // Items removed from the source after it was sealed were never met above.
        if (source_.seal && copiedItems_ != source_.seal->sealedItemsAtOrBelow(source_.sealedPath)) return unsealed();
        return true;
    }

    // Whether the top item was created (and so is ours to remove).
    bool createdTop() const { return createdTop_; }

private:
    bool copyItem(int src, const struct stat& st, int dstFolder, const std::string& name, const std::string& rel,
                  int depth, pf::UniqueFd* out) {
        ++copiedItems_;
        if (S_ISREG(st.st_mode)) return copyFile(src, st, dstFolder, name, rel, out);
        if (S_ISDIR(st.st_mode)) return copyDirectory(src, st, dstFolder, name, rel, depth, out);
        // Devices, FIFOs and sockets are no content a bundle installs.
        return readFailed(ENOTSUP, rel);
    }

    bool readFailed(int error, const std::string& rel) {
        failure_->error = pf::Error::fileError(error, joinPath(source_.path, rel), false);
        return false;
    }
    bool writeFailed(int error, const std::string& rel) {
        failure_->error = pf::Error::fileError(error, joinPath(targetPath_, rel), true);
        return false;
    }
    bool topFailed(int error) {
        failure_->topAttributesErrno = error;
        return false;
    }
    bool unsealed() {
        failure_->unsealed = true;
        return false;
    }
    std::string sealedPath(const std::string& rel) const { return joinPath(source_.sealedPath, rel); }

    bool created(const vdfs::Opened& made, const std::string& rel) {
        if (made.error) return writeFailed(made.error, rel);
        if (rel.empty()) createdTop_ = true;
        return true;
    }

    // The top item is locked as ours the moment it is open; when a sweep of
    // leftovers got it first (or already removed it), the name is given up.
    bool claimed(int folderFd, const std::string& name, const vdfs::Opened& top, const std::string& rel) {
        if (!rel.empty() || (top.error != 0 && top.error != ENOENT)) return true; // the caller reports those
        if (top.error == 0 && VDClaimStagingItem(folderFd, name, top.fd.get())) return true;
        createdTop_ = false; // the sweep removes it
        return writeFailed(EEXIST, rel);
    }

    // Final attributes of a copied item: owner and group first, the mode
    // last, so that no item is ever set-id while it still belongs to root
    // (and a later chown would clear set-id bits the item must keep). The
    // top gets the install's owner and mode, failures reported; the items
    // below get the owner (the ownership walk ignores its failures) and keep
    // the source's mode, less its set-id bits when the owner did not change.
    bool finish(int fd, const struct stat& st, const std::string& rel) {
        const int unowned = vdfs::retrying([&] { return ::fchown(fd, attributes_.uid, attributes_.gid); });
        if (rel.empty()) {
            if (unowned) return topFailed(unowned);
            if (int error = vdfs::retrying([&] { return ::fchmod(fd, attributes_.mode); })) return topFailed(error);
        } else {
            const mode_t mode = st.st_mode & 07777 & ~(unowned ? mode_t(S_ISUID | S_ISGID) : mode_t(0));
            if (int error = vdfs::retrying([&] { return ::fchmod(fd, mode); })) return writeFailed(error, rel);
        }
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        (void)::futimens(fd, times); // dates are a courtesy of the copy, not part of its outcome
        return true;
    }

    bool copyFile(int src, const struct stat& st, int dstFolder, const std::string& name, const std::string& rel,
                  pf::UniqueFd* out) {
        // No permission for anyone until owner and mode are set (the writer's descriptor needs none).
        vdfs::Opened dst = vdfs::openAt(dstFolder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0);
        if (!created(dst, rel) || !claimed(dstFolder, name, dst, rel)) return false;
        pf::codesign::Sha256 hash;
        // pread: the top source descriptor is read again when a name clash starts the copy over.
        off_t offset = 0;
        // Bytes no seal holds need not pass through here: the kernel copies them.
        if (!source_.seal && !kernelCopy(src, dst.fd.get(), &offset, rel)) return false;
        for (;;) {
            ssize_t got = -1;
            if (int error = vdfs::retrying([&] { return got = ::pread(src, buffer_.data(), buffer_.size(), offset); }))
                return readFailed(error, rel);
            if (got == 0) break;
            offset += got;
            if (source_.seal) hash.update(buffer_.data(), static_cast<std::size_t>(got));
            for (ssize_t done = 0; done < got;) {
                ssize_t put = -1;
                if (int error = vdfs::retrying([&] {
                        return put = ::write(dst.fd.get(), buffer_.data() + done, static_cast<std::size_t>(got - done));
                    }))
                    return writeFailed(error, rel);
                done += put;
            }
        }
        if (source_.seal && !source_.seal->sealsFile(sealedPath(rel), hash.final(), st.st_mode & 07777))
            return unsealed();
        if (!finish(dst.fd.get(), st, rel)) return false;
        if (out) *out = std::move(dst.fd);
        return true;
    }

    // Copies what it can in the kernel from `*offset` on, advancing it; the
    // rest is left to the caller's loop.
    bool kernelCopy(int src, int dst, off_t* offset, const std::string& rel) {
        for (;;) {
            ssize_t put = -1;
            const int error = vdfs::retrying([&] {
                return put = ::copy_file_range(src, offset, dst, nullptr, kCopyBufferBytes * 64, 0);
            });
            if (error == ENOSPC || error == EDQUOT || error == EFBIG) return writeFailed(error, rel);
            // Anything else (a file system that cannot, an I/O error on
            // either side) goes to the caller's loop, which reports failures
            // as reads or writes.
            if (error || put == 0) return true;
        }
    }

    bool copySymlink(int srcFolder, const std::string& name, int dstFolder, const std::string& rel) {
        ++copiedItems_;
        std::string text;
        if (int error = vdfs::readLinkAt(srcFolder, name, text)) return readFailed(error, rel);
        if (source_.seal && !source_.seal->sealsSymlink(sealedPath(rel), text)) return unsealed();
        if (int error = vdfs::retrying([&] { return ::symlinkat(text.c_str(), dstFolder, name.c_str()); }))
            return writeFailed(error, rel);
        // The link itself gets the owner; what it points to is never touched.
        (void)vdfs::retrying([&] {
            return ::fchownat(dstFolder, name.c_str(), attributes_.uid, attributes_.gid, AT_SYMLINK_NOFOLLOW);
        });
        return true;
    }

    bool copyChild(int src, int dst, const std::string& child, unsigned char type, const std::string& rel, int depth) {
        const std::string childRel = joinPath(rel, child);
        if (isSpecialType(type)) return readFailed(ENOTSUP, childRel);
        if (type == DT_UNKNOWN) {
            // Not every file system reports types; look before opening, so a
            // device node is never opened at all.
            struct stat pre {};
            if (int error = vdfs::statAt(src, child, pre)) return readFailed(error, childRel);
            if (!S_ISREG(pre.st_mode) && !S_ISDIR(pre.st_mode) && !S_ISLNK(pre.st_mode))
                return readFailed(ENOTSUP, childRel);
        }
        // Opening with O_NOFOLLOW tells a link (ELOOP) from the rest in one
        // step, and what is then copied is what that open found.
        vdfs::Opened opened = vdfs::openAt(src, child, kSourceOpenFlags);
        if (opened.error == ELOOP) return copySymlink(src, child, dst, childRel);
        if (opened.error) return readFailed(opened.error, childRel);
        struct stat st {};
        if (int error = vdfs::statAt(opened.fd.get(), "", st)) return readFailed(error, childRel);
        return copyItem(opened.fd.get(), st, dst, child, childRel, depth + 1, nullptr);
    }

    bool copyDirectory(int src, const struct stat& st, int dstFolder, const std::string& name, const std::string& rel,
                       int depth, pf::UniqueFd* out) {
        if (depth >= kVDMaxTreeDepth) return readFailed(ELOOP, rel);
        if (source_.seal && !source_.seal->sealsDirectory(sealedPath(rel), st.st_mode & 07777)) return unsealed();
        vdfs::Opened dst;
        dst.error = vdfs::retrying([&] { return ::mkdirat(dstFolder, name.c_str(), 0700); });
        if (!created(dst, rel)) return false;
        dst = vdfs::openAt(dstFolder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        if (!claimed(dstFolder, name, dst, rel)) return false;
        if (dst.error) return writeFailed(dst.error, rel);

        bool ok = true;
        const int listed = vdfs::forEachEntry(src, [&](const std::string& child, unsigned char type) {
            ok = copyChild(src, dst.fd.get(), child, type, rel, depth);
            return ok ? 0 : -1;
        });
        if (!ok) return false;
        if (listed) return readFailed(listed, rel);
        if (!finish(dst.fd.get(), st, rel)) return false;
        if (out) *out = std::move(dst.fd);
        return true;
    }

    const VDStagedCopy::Source& source_;
    const std::string& targetPath_;
    const VDStagedCopy::Attributes& attributes_;
    VDStagedCopy::Failure* failure_;
    std::vector<char>& buffer_;
    std::size_t copiedItems_ = 0;
    bool createdTop_ = false;
};

} // namespace

VDStagedCopy::VDStagedCopy(pf::UniqueFd folder, std::string temporaryName, pf::UniqueFd top)
    : folder_(std::move(folder)), temporaryName_(std::move(temporaryName)), top_(std::move(top)) {}

VDStagedCopy::~VDStagedCopy() {
    // A copy that never got its name leaves nothing behind; failing to clean
    // up is not worth more than the failure that got us here.
    if (!committed_) (void)VDRemoveTree(folder_.get(), temporaryName_);
}

std::unique_ptr<VDStagedCopy> VDStagedCopy::stage(const Source& source, int folderFd, const std::string& targetPath,
                                                  const Attributes& attributes, Failure* failure) {
    *failure = Failure();
    struct stat st {};
    if (int error = vdfs::statAt(source.fd, "", st)) {
        failure->error = pf::Error::fileError(error, source.path, false);
        return nullptr;
    }
    int folder = -1;
    if (int error = vdfs::retrying([&] { return folder = ::fcntl(folderFd, F_DUPFD_CLOEXEC, 0); })) {
        failure->error = pf::Error::fileError(error, targetPath, true);
        return nullptr;
    }
    pf::UniqueFd ownedFolder(folder);
    VDRemoveStaleStagingItems(folder);
    std::vector<char> buffer(kCopyBufferBytes);
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        std::string name = VDNewStagingName();
        pf::UniqueFd top;
        *failure = Failure();
        Copier copier(source, targetPath, attributes, failure, buffer);
        if (copier.copyTop(st, folder, name, &top))
            return std::make_unique<VDStagedCopy>(std::move(ownedFolder), std::move(name), std::move(top));
        // A name somebody else holds was never ours: try another one.
        if (!copier.createdTop()) {
            if (!failure->unsealed && !failure->topAttributesErrno &&
                failure->error.code() == pf::NSFileWriteFileExistsError)
                continue;
            return nullptr;
        }
        (void)VDRemoveTree(folder, name); // whatever the failed copy made under its name goes
        return nullptr;
    }
    return nullptr;
}

int VDStagedCopy::commit(const std::string& leaf) {
    // The temporary must still be the item we made: someone able to write
    // the folder could have put another one under its name.
    struct stat made {}, named {};
    if (int error = vdfs::statAt(top_.get(), "", made)) return error;
    if (int error = vdfs::statAt(folder_.get(), temporaryName_, named)) return error;
    if (made.st_dev != named.st_dev || made.st_ino != named.st_ino) return EEXIST;
    int error = vdfs::retrying([&] {
        return ::renameat2(folder_.get(), temporaryName_.c_str(), folder_.get(), leaf.c_str(), RENAME_NOREPLACE);
    });
    if (error == EINVAL) {
        // A file system without RENAME_NOREPLACE: look first, then rename.
        struct stat existing {};
        error = vdfs::statAt(folder_.get(), leaf, existing) == ENOENT
                    ? vdfs::retrying([&] { return ::renameat(folder_.get(), temporaryName_.c_str(), folder_.get(), leaf.c_str()); })
                    : EEXIST;
    }
    if (error == 0) committed_ = true;
    return error;
}
