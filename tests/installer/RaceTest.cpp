// An attacker who changes files while the installer works. Each race runs the
// installer repeatedly while a swapper thread flips one thing back and forth
// in a tight loop; every attempt must either do what the signed bundle says
// or refuse, and nothing outside the install root may change.
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "installer/Accounts.h"
#include "installer/FileCalls.h"
#include "installer/TreeRemoval.h"
#include "platform/foundation/PropertyList.h"
#include "tests/installer/InstallerFixture.h"

namespace vti {
namespace {

namespace fs = std::filesystem;

constexpr int kIterations = 2000;
constexpr auto kTimeBudget = std::chrono::seconds(20);
constexpr std::size_t kMaxViolations = 5;
// The user at the console in the Trash race; an account only its child knows.
constexpr uid_t kConsoleUid = 4242;
// The child that runs with its own mount table could not set it up.
constexpr int kNoPrivateMounts = 77;

// The sentinel's items as the kernel tells them, and its file's content: a write,
// an owner or mode change, an added or removed entry all change an inode's ctime.
std::string sentinelState(const std::string& top) {
    std::ostringstream state;
    for (const std::string& item : {top, top + "/f", top + "/Dir"}) {
        struct stat st {};
        state << item << (::lstat(item.c_str(), &st) == 0 ? " " : " gone ") << std::oct << st.st_mode << std::dec
              << ' ' << st.st_uid << ':' << st.st_gid << ' ' << st.st_ino << ' ' << st.st_nlink << ' ' << st.st_size
              << ' ' << st.st_ctim.tv_sec << '.' << st.st_ctim.tv_nsec << '\n';
    }
    return state.str() + vt::readFile(top + "/f");
}

// The content of the regular file at `rel` beneath the folder (no symlink on
// the way), nullopt when there is none.
std::optional<std::string> readAt(int folder, const std::string& rel) {
    vdfs::Opened file = vdfs::openResolved(folder, rel, O_RDONLY | O_NONBLOCK, vdfs::kBeneathNoLinks);
    struct stat st {};
    if (file.error || vdfs::statAt(file.fd.get(), "", st) || !S_ISREG(st.st_mode)) return std::nullopt;
    return vt::readFile("/proc/self/fd/" + std::to_string(file.fd.get()));
}

pf::UniqueFd openFolder(const std::string& path) {
    return std::move(vdfs::openAt(AT_FDCWD, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW).fd);
}

int swapNames(const std::string& a, const std::string& b) {
    return ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0 ? 0 : errno;
}

struct Outcome {
    bool succeeded = false;
    std::string violation; // empty when the attempt did nothing it must not
};
Outcome succeeded() { return {true, {}}; }
Outcome refused() { return {false, {}}; }
Outcome violation(std::string what) { return {false, std::move(what)}; }

// One change of a race, or its undo (0 or the errno); one run of the installer.
using Flip = std::function<int()>;
using Attempt = std::function<Outcome()>;

class RaceTest : public InstallerTest {
protected:
    void SetUp() override {
        InstallerTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        // Names a followed symlink would meet: the targets of the races below.
        vt::writeFile(sentinel() + "/f", "sentinel\n", 0640);
        fs::create_directories(sentinel() + "/Dir");
        ::chmod(sentinel().c_str(), 0755);
        // The console user's own folder: owning it would not make it a Trash.
        ::chown((sentinel() + "/Dir").c_str(), kConsoleUid, kConsoleUid);
        ::chmod((sentinel() + "/Dir").c_str(), 0700);
        sentinelBefore_ = sentinelState(sentinel());
    }

    std::string sentinel() const { return scratch("sentinel"); }

    std::string runRace(const Flip& flip, const Attempt& attempt);
    Outcome installOnce(const std::string& bundle, const std::set<int>& codes,
                        const std::map<std::string, std::string>& signedFiles);
    // The race in this process; then nothing outside the root has changed.
    void expectCleanRace(const Flip& flip, const Attempt& attempt) {
        EXPECT_EQ(runRace(flip, attempt), "");
        EXPECT_EQ(sentinelState(sentinel()), sentinelBefore_);
    }

    std::string sentinelBefore_;
};

// Runs the attempts while the swapper flips; the violations seen, one a line.
std::string RaceTest::runRace(const Flip& flip, const Attempt& attempt) {
    std::string violations; // one a line
    std::size_t noted = 0;
    auto note = [&](const std::string& what) {
        if (noted++ < kMaxViolations) violations += what + "\n";
    };
    // Undisturbed, the attempt works: the refusals below are the swapper's doing.
    if (Outcome calm = attempt(); !calm.succeeded)
        return "without the swapper: " + (calm.violation.empty() ? "refused" : calm.violation);
    std::atomic<bool> stop{false};
    std::atomic<long> flips{0};
    std::atomic<int> flipError{0};
    vt::Event running;
    std::thread swapper([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            // In pairs, so that it stops with everything as it was.
            const int first = flip();
            flipError = first ? first : flip();
            if (flipError) break;
            if (flips.fetch_add(1, std::memory_order_relaxed) == 0) running.signal();
        }
        running.signal();
    });
    running.wait();
    int attempts = 0;
    int succeeded = 0;
    const auto deadline = std::chrono::steady_clock::now() + kTimeBudget;
    while (attempts < kIterations && std::chrono::steady_clock::now() < deadline &&
           noted < kMaxViolations && !flipError) {
        const Outcome outcome = attempt();
        const std::string which = "attempt " + std::to_string(++attempts) + ": ";
        if (!outcome.violation.empty()) note(which + outcome.violation);
        succeeded += outcome.succeeded;
        if (sentinelState(sentinel()) != sentinelBefore_) note(which + "something outside the root changed");
    }
    stop = true;
    swapper.join();
    if (flipError) note(std::string("the swapper failed: ") + std::strerror(flipError));
    for (const auto& left : stagedLeftovers(root())) note("staged copy left: " + left);
    std::cout << "[   race   ] " << attempts << " attempts, " << succeeded << " succeeded, " << flips
              << " flip pairs\n";
    return violations;
}

// One install into the emptied root: refused with one of `codes` (88: the bundle
// check saw a change, 22: a source's check while the BOM is built did, 1: the copy
// did, after resources that installed), or succeeded with all of `signedFiles`.
// Any of them found holds its signed bytes, and no staged copy is left.
Outcome RaceTest::installOnce(const std::string& bundle, const std::set<int>& codes,
                              const std::map<std::string, std::string>& signedFiles) {
    clearRoot();
    auto installer = installerFor(bundle);
    const auto error = installer ? installer->install() : pf::Error("no installer", 0);
    const int code = error && error->domain() == pf::NSPOSIXErrorDomain ? static_cast<int>(error->code()) : -1;
    if (error && !codes.count(code)) return violation("failed with " + error->description());
    if ((code == 88 || code == 22) && !fs::is_empty(root())) return violation("a refused install left something");
    if (!stagedLeftovers(root()).empty()) return violation("a staged copy was left in the target folder");
    const pf::UniqueFd folder = openFolder(root());
    bool all = true;
    for (const auto& [path, bytes] : signedFiles) {
        const auto installed = readAt(folder.get(), path);
        if (installed && *installed != bytes) return violation(path + " holds other bytes than the signed ones");
        all = all && installed;
    }
    if (error) return refused();
    return all ? succeeded() : violation("succeeded without installing");
}

// 1. The BOM read is one file, the BOM validated another.
TEST_F(RaceTest, BomSwappedBetweenReadAndValidation) {
    const std::string bundle = makeBundle("Bom.app", {{"Contents/Resources/f", "payload"}},
                                          bom({vt::bomEntry("Contents/Resources/f", "/f", "644")}, {}));
    const std::string unsignedBOM = scratch("unsigned-BOM.plist");
    vt::writeFile(unsignedBOM, *pf::xmlPropertyList(bom(
                                   {vt::bomEntry("Contents/Resources/f", "/f", "6777"), vt::bomEntry("Contents/Resources/f", "/evil", "4755")}, {})));
    const Flip flip = [=] { return swapNames(bundle + "/Contents/Resources/BOM.plist", unsignedBOM); };
    expectCleanRace(flip, [=, this] {
        const Outcome outcome = installOnce(bundle, {88}, {{"f", "payload"}});
        if (!outcome.succeeded) return outcome;
        if (fs::exists(inRoot("/evil"))) return violation("installed what the unsigned BOM says");
        if (ownerOf(inRoot("/f"))->mode != 0644) return violation("/f is not as the signed BOM says");
        return outcome;
    });
}

// 2. The same inodes, other bytes, while they are validated and copied.
TEST_F(RaceTest, SourceRewrittenInPlace) {
    // Larger than one copy buffer: the change can come after the first part was written.
    const std::string big(3u << 19, 'a');
    const std::string bundle =
        makeBundle("InPlace.app", {{"Contents/Resources/f", big}, {"Contents/Resources/Dir/inner", "inner"}},
                   bom({vt::bomEntry("Contents/Resources/f", "/f", "644"), vt::bomEntry("Contents/Resources/Dir", "/Dir", "755")}, {}));
    auto f = std::make_shared<pf::UniqueFd>(::open((bundle + "/Contents/Resources/f").c_str(), O_WRONLY | O_CLOEXEC));
    auto inner =
        std::make_shared<pf::UniqueFd>(::open((bundle + "/Contents/Resources/Dir/inner").c_str(), O_WRONLY | O_CLOEXEC));
    auto evil = std::make_shared<bool>(false);
    const Flip flip = [=] {
        *evil = !*evil;
        const std::string chunk(4096, *evil ? 'E' : 'a');
        const off_t offset = static_cast<off_t>(big.size() - chunk.size() - 1);
        if (::pwrite(f->get(), chunk.data(), chunk.size(), offset) != static_cast<ssize_t>(chunk.size())) return errno;
        if (::pwrite(inner->get(), *evil ? "INNER" : "inner", 5, 0) != 5) return errno;
        return 0;
    };
    expectCleanRace(flip, [=, this] { return installOnce(bundle, {88, 22, 1}, {{"f", big}, {"Dir/inner", "inner"}}); });
}

// 3. A folder on the way to every target becomes a symlink to the sentinel.
TEST_F(RaceTest, ParentSwappedForSymlinkOutside) {
    const std::string bundle = makeBundle(
        "Parent.app", {{"Contents/Resources/f", "payload"}, {"Contents/Resources/Dir/inner", "inner"}},
        bom({vt::bomEntry("", "/Library/Sub/Made", "755"),
             vt::bomEntry("Contents/Resources/f", "/Library/Sub/f", "600", "no-such-user-here", "no-such-group-here"),
             vt::bomEntry("Contents/Resources/Dir", "/Library/Sub/Dir", "700", "no-such-user-here", "no-such-group-here")},
            {vt::bomRemoval("/Library/Sub/f"), vt::bomRemoval("/Library/Sub/Dir")}, {{"ForceClean", true}}));
    const std::string library = inRoot("/Library");
    fs::create_directories(library + "/Sub");
    fs::create_symlink(sentinel(), library + "/Absolute");
    fs::create_symlink("../../sentinel", library + "/Relative"); // from the root's parent, where the sentinel is
    auto sub = std::make_shared<pf::UniqueFd>(openFolder(library + "/Sub"));
    auto step = std::make_shared<unsigned>(0);
    // Out to one kind of link and back, then to the other kind.
    const Flip flip = [=] {
        return swapNames(library + "/Sub", library + ((*step)++ & 2 ? "/Relative" : "/Absolute"));
    };
    expectCleanRace(flip, [=, this] {
        auto error = installerFor(bundle)->install();
        if (error && error->domain() == pf::NSPOSIXErrorDomain && (error->code() == 88 || error->code() == 22))
            return violation("the untouched bundle was refused: " + error->description());
        if (readAt(sub->get(), "f").value_or("payload") != "payload") return violation("f holds unsigned bytes");
        if (error) return refused();
        struct stat st {};
        if (::fstatat(sub->get(), "f", &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_uid != kVDUnknownAccountId ||
            (st.st_mode & 07777) != 0600 || readAt(sub->get(), "Dir/inner") != "inner")
            return violation("succeeded, but the real folder does not hold the install");
        return succeeded();
    });
}

// 4. The bundle's own folder link on the way to a source leads out of it.
TEST_F(RaceTest, FolderLinkSwappedOutOfTheBundle) {
    const std::string bundle = makeBundle("Link.app", {{"Contents/Versions/A/f", "payload"}},
                                          bom({vt::bomEntry("Contents/Versions/Current/f", "/f", "644")}, {}),
                                          {{"Contents/Versions/Current", "A"}});
    const std::string outward = scratch("outward"); // from Contents/Versions, the sentinel
    fs::create_symlink("../../../sentinel", outward);
    expectCleanRace([=] { return swapNames(bundle + "/Contents/Versions/Current", outward); },
                    [=, this] { return installOnce(bundle, {88, 22, 1}, {{"f", "payload"}}); });
}

// 5. The console user's Trash becomes a symlink while the bundle moves there.
// The account database is the child's own: /etc/passwd with the console user
// added, mounted over the real one in a mount table nobody else sees.
TEST_F(RaceTest, TrashSwappedForSymlink) {
    const std::string home = scratch("home");
    const std::string trash = home + "/.Trash";
    fs::create_directories(trash + "/Host.app/Contents");
    vt::writeFile(trash + "/Host.app/Contents/old", "old");
    for (const std::string& path : {home, trash}) ::chown(path.c_str(), kConsoleUid, kConsoleUid);
    ::chmod(trash.c_str(), 0700);
    fs::create_symlink(sentinel() + "/Dir", home + "/.Trash-link");
    vt::writeFile(scratch("passwd"), vt::readFile("/etc/passwd") + "vicar-race:x:" + std::to_string(kConsoleUid) + ":" +
                                         std::to_string(kConsoleUid) + "::" + home + ":/usr/sbin/nologin\n");
    const std::string bundle = scratch("apps/Host.app");
    auto realTrash = std::make_shared<pf::UniqueFd>(openFolder(trash));

    const Flip flip = [=] { return swapNames(trash, home + "/.Trash-link"); };
    const Attempt attempt = [=] {
        if (!fs::exists(bundle)) vt::writeFile(bundle + "/Contents/new", "bundle");
        VDTrustedInstaller::moveHostBundleToTrash(*pf::URL::fileURLWithPath(bundle, true));
        if (readAt(realTrash->get(), "Host.app/Contents/old") != "old")
            return violation("the item already in the Trash was replaced");
        if (fs::exists(bundle)) return refused();
        std::vector<std::string> moved;
        vdfs::forEachEntry(realTrash->get(), [&](const std::string& name, unsigned char) {
            if (name != "Host.app") moved.push_back(name);
            return 0;
        });
        if (moved.size() != 1 || readAt(realTrash->get(), moved[0] + "/Contents/new") != "bundle")
            return violation("the bundle left its folder but is not in the Trash");
        VDRemoveTree(realTrash->get(), moved[0]);
        return succeeded();
    };
    const int status = vt::runInChild(
        [&] {
            if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount(scratch("passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0)
                return kNoPrivateMounts;
            ::setenv("VICAR_CONSOLE_UID", std::to_string(kConsoleUid).c_str(), 1);
            vt::writeFile(scratch("report"), VDHomeDirectoryForUid(kConsoleUid) == scratch("home")
                                                 ? runRace(flip, attempt)
                                                 : "the console user's home is not the test's");
            return 0;
        },
        kTimeBudget + std::chrono::seconds(40));
    if (WIFEXITED(status) && WEXITSTATUS(status) == kNoPrivateMounts) GTEST_SKIP() << "no private mount table here";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(fs::exists(scratch("report")) ? vt::readFile(scratch("report")) : "no report", "");
    EXPECT_EQ(sentinelState(sentinel()), sentinelBefore_);
}

} // namespace
} // namespace vti
