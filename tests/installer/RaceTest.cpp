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

// Everything the kernel tells about a tree, but access times: a write, an
// owner or mode change, an added or removed entry all show.
using Snapshot = std::map<std::string, std::string>;

Snapshot snapshot(const std::string& top) {
    Snapshot result;
    std::error_code ec;
    auto describe = [&](const fs::path& path) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) return;
        std::ostringstream line;
        line << std::oct << st.st_mode << std::dec << ' ' << st.st_uid << ':' << st.st_gid << ' ' << st.st_ino << ' '
             << st.st_mtim.tv_sec << '.' << st.st_mtim.tv_nsec << ' ' << st.st_ctim.tv_sec << '.' << st.st_ctim.tv_nsec;
        if (S_ISREG(st.st_mode)) line << " =" << vt::readFile(path);
        if (S_ISLNK(st.st_mode)) line << " ->" << fs::read_symlink(path, ec).string();
        result[path.string()] = line.str();
    };
    describe(top);
    for (auto it = fs::recursive_directory_iterator(top, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        describe(it->path());
    return result;
}

std::string difference(const Snapshot& before, const Snapshot& after) {
    for (const auto& [path, was] : before) {
        auto now = after.find(path);
        if (now == after.end()) return path + " went away";
        if (now->second != was) return path + " changed: " + was + " -> " + now->second;
    }
    for (const auto& [path, is] : after)
        if (!before.count(path)) return path + " appeared: " + is;
    return {};
}

// The content of the regular file at `rel` beneath the folder (no symlink on
// the way), nullopt when there is none.
std::optional<std::string> readAt(int folder, const std::string& rel) {
    vdfs::Opened file = vdfs::openResolved(folder, rel, O_RDONLY | O_NONBLOCK, vdfs::kBeneathNoLinks);
    struct stat st {};
    if (file.error || vdfs::statAt(file.fd.get(), "", st) || !S_ISREG(st.st_mode)) return std::nullopt;
    std::string content;
    char buffer[64 * 1024];
    for (ssize_t got; (got = ::read(file.fd.get(), buffer, sizeof buffer)) > 0;)
        content.append(buffer, static_cast<std::size_t>(got));
    return content;
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

struct Scenario {
    std::function<int()> flip;        // one change, or its undo; 0 or the errno
    std::function<Outcome()> attempt; // one run of the installer
    std::set<std::string> signedContents;
};

struct Report {
    int iterations = 0;
    int succeeded = 0;
    long flips = 0;
    std::vector<std::string> violations;

    std::string summary() const {
        std::string text = std::to_string(iterations) + " attempts, " + std::to_string(succeeded) + " succeeded, " +
                           std::to_string(flips) + " flip pairs";
        for (const auto& v : violations) text += "\n" + v;
        return text;
    }
    bool clean() const { return iterations > 0 && violations.empty(); }
};

class RaceTest;
struct Race {
    const char* name;
    Scenario (RaceTest::*prepare)();
    bool ownMountTable; // runs in a child that may change its mounts
};
void PrintTo(const Race& race, std::ostream* out) { *out << race.name; }

class RaceTest : public InstallerTest, public ::testing::WithParamInterface<Race> {
public:
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
        sentinelBefore_ = snapshot(sentinel());
    }

    std::string sentinel() const { return scratch("sentinel"); }

    Report runRace(const Scenario& scenario);

    Scenario bomSwappedBetweenReadAndValidation();
    Scenario sourceRewrittenInPlace();
    Scenario parentSwappedForSymlink();
    Scenario folderLinkSwappedOutOfTheBundle();
    Scenario trashSwappedForSymlink();
    int inPrivateMountTable(const Race& race, std::string* summary);

    Snapshot sentinelBefore_;
};

Report RaceTest::runRace(const Scenario& scenario) {
    Report report;
    auto note = [&](const std::string& what) {
        if (report.violations.size() < kMaxViolations) report.violations.push_back(what);
    };
    // Undisturbed, the attempt works: the refusals below are the swapper's doing.
    if (Outcome calm = scenario.attempt(); !calm.succeeded) {
        note("without the swapper: " + (calm.violation.empty() ? "refused" : calm.violation));
        return report;
    }
    std::atomic<bool> stop{false};
    std::atomic<long> flips{0};
    std::atomic<int> flipError{0};
    vt::Event running;
    std::thread swapper([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            // In pairs, so that it stops with everything as it was.
            const int first = scenario.flip();
            const int second = first ? 0 : scenario.flip();
            if (first || second) {
                flipError = first ? first : second;
                break;
            }
            if (flips.fetch_add(1, std::memory_order_relaxed) == 0) running.signal();
        }
        running.signal();
    });
    running.wait();
    const auto deadline = std::chrono::steady_clock::now() + kTimeBudget;
    while (report.iterations < kIterations && std::chrono::steady_clock::now() < deadline &&
           report.violations.size() < kMaxViolations && !flipError) {
        const Outcome outcome = scenario.attempt();
        ++report.iterations;
        if (!outcome.violation.empty()) note("attempt " + std::to_string(report.iterations) + ": " + outcome.violation);
        if (outcome.succeeded) ++report.succeeded;
        if (auto changed = difference(sentinelBefore_, snapshot(sentinel())); !changed.empty())
            note("attempt " + std::to_string(report.iterations) + ": outside the root, " + changed);
    }
    stop = true;
    swapper.join();
    report.flips = flips;
    if (flipError) note(std::string("the swapper failed: ") + std::strerror(flipError));

    // No unsigned byte anywhere below the root, and no staged copy left.
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root(), ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_regular_file() && !it->is_symlink() && !scenario.signedContents.count(vt::readFile(it->path())))
            note(it->path().string() + " holds bytes the bundle never signed");
    for (const auto& left : stagedLeftovers(root())) note("staged copy left: " + left);
    return report;
}

// 1. The BOM read is one file, the BOM validated another.
Scenario RaceTest::bomSwappedBetweenReadAndValidation() {
    const std::string bundle = makeBundle("Bom.app", {{"Contents/Resources/f", "payload"}},
                                          bom({vt::bomEntry("Contents/Resources/f", "/f", "644")}, {}));
    const std::string unsignedBOM = scratch("unsigned-BOM.plist");
    vt::writeFile(unsignedBOM, *pf::xmlPropertyList(bom(
                                   {vt::bomEntry("Contents/Resources/f", "/f", "6777"), vt::bomEntry("Contents/Resources/f", "/evil", "4755")}, {})));
    const std::string signedBOM = bundle + "/Contents/Resources/BOM.plist";
    Scenario s;
    s.signedContents = {"payload"};
    s.flip = [=] { return swapNames(signedBOM, unsignedBOM); };
    s.attempt = [=, this] {
        clearRoot();
        auto installer = installerFor(bundle);
        if (!installer) return violation("no installer for a bundle with a BOM");
        if (auto error = installer->install()) {
            if (error->domain() != pf::NSPOSIXErrorDomain || error->code() != 88)
                return violation("failed with " + error->description());
            if (!fs::is_empty(root())) return violation("a refused install left something");
            return refused();
        }
        if (fs::exists(inRoot("/evil"))) return violation("installed what the unsigned BOM says");
        auto owner = ownerOf(inRoot("/f"));
        if (!owner || owner->mode != 0644) return violation("/f is not as the signed BOM says");
        return succeeded();
    };
    return s;
}

// 2. The same inodes, other bytes, while they are validated and copied.
Scenario RaceTest::sourceRewrittenInPlace() {
    // Larger than one copy buffer: the change can come after the first part was written.
    const std::string big(3u << 19, 'a');
    const std::string bundle =
        makeBundle("InPlace.app", {{"Contents/Resources/f", big}, {"Contents/Resources/Dir/inner", "inner"}},
                   bom({vt::bomEntry("Contents/Resources/f", "/f", "644"), vt::bomEntry("Contents/Resources/Dir", "/Dir", "755")}, {}));
    auto f = std::make_shared<pf::UniqueFd>(::open((bundle + "/Contents/Resources/f").c_str(), O_WRONLY | O_CLOEXEC));
    auto inner =
        std::make_shared<pf::UniqueFd>(::open((bundle + "/Contents/Resources/Dir/inner").c_str(), O_WRONLY | O_CLOEXEC));
    EXPECT_TRUE(*f && *inner);
    auto evil = std::make_shared<bool>(false);
    Scenario s;
    s.signedContents = {big, "inner"};
    s.flip = [=] {
        *evil = !*evil;
        const std::string chunk(4096, *evil ? 'E' : 'a');
        const off_t offset = static_cast<off_t>(big.size() - chunk.size() - 1);
        if (::pwrite(f->get(), chunk.data(), chunk.size(), offset) != static_cast<ssize_t>(chunk.size())) return errno;
        const char* text = *evil ? "INNER" : "inner";
        if (::pwrite(inner->get(), text, 5, 0) != 5) return errno;
        return 0;
    };
    s.attempt = [=, this] {
        clearRoot();
        auto error = installerFor(bundle)->install();
        if (!stagedLeftovers(root()).empty()) return violation("a staged copy was left in the target folder");
        // 88: the bundle check saw the change; 22: the check of a source while
        // the BOM is built did; 1: the copy did. Only the last may follow
        // earlier resources that installed.
        const int code = error && error->domain() == pf::NSPOSIXErrorDomain ? static_cast<int>(error->code()) : -1;
        if (error && code != 88 && code != 22 && code != 1) return violation("failed with " + error->description());
        if ((code == 88 || code == 22) && !fs::is_empty(root())) return violation("a refused install left something");
        const pf::UniqueFd rootFolder = openFolder(root());
        const auto installedF = readAt(rootFolder.get(), "f");
        const auto installedInner = readAt(rootFolder.get(), "Dir/inner");
        if (installedF && *installedF != big) return violation("/f holds other bytes than the signed ones");
        if (installedInner && *installedInner != "inner") return violation("/Dir/inner holds unsigned bytes");
        if (error) return refused();
        return installedF && installedInner ? succeeded() : violation("succeeded without installing");
    };
    return s;
}

// 3. A folder on the way to every target becomes a symlink to the sentinel.
Scenario RaceTest::parentSwappedForSymlink() {
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
    EXPECT_TRUE(*sub);
    auto step = std::make_shared<unsigned>(0);
    Scenario s;
    s.signedContents = {"payload", "inner"};
    // Out to one kind of link and back, then to the other kind.
    s.flip = [=] { return swapNames(library + "/Sub", library + ((*step)++ & 2 ? "/Relative" : "/Absolute")); };
    s.attempt = [=, this] {
        auto error = installerFor(bundle)->install();
        if (error && error->domain() == pf::NSPOSIXErrorDomain && (error->code() == 88 || error->code() == 22))
            return violation("the untouched bundle was refused: " + error->description());
        const auto installedF = readAt(sub->get(), "f");
        if (installedF && *installedF != "payload") return violation("f holds unsigned bytes");
        if (error) return refused();
        struct stat st {};
        if (::fstatat(sub->get(), "f", &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_uid != kVDUnknownAccountId ||
            (st.st_mode & 07777) != 0600 || !readAt(sub->get(), "Dir/inner"))
            return violation("succeeded, but the real folder does not hold the install");
        return succeeded();
    };
    return s;
}

// 4. The bundle's own folder link on the way to a source leads out of it.
Scenario RaceTest::folderLinkSwappedOutOfTheBundle() {
    const std::string bundle = makeBundle("Link.app", {{"Contents/Versions/A/f", "payload"}},
                                          bom({vt::bomEntry("Contents/Versions/Current/f", "/f", "644")}, {}),
                                          {{"Contents/Versions/Current", "A"}});
    const std::string outward = scratch("outward"); // from Contents/Versions, the sentinel
    fs::create_symlink("../../../sentinel", outward);
    Scenario s;
    s.signedContents = {"payload"};
    s.flip = [=] { return swapNames(bundle + "/Contents/Versions/Current", outward); };
    s.attempt = [=, this] {
        clearRoot();
        auto installer = installerFor(bundle);
        auto error = installer ? installer->install() : pf::Error("no installer", 0);
        const int code = error && error->domain() == pf::NSPOSIXErrorDomain ? static_cast<int>(error->code()) : -1;
        if (error && code != 88 && code != 22 && code != 1) return violation("failed with " + error->description());
        const auto installed = readAt(openFolder(root()).get(), "f");
        if (installed && *installed != "payload") return violation("/f holds other bytes than the signed ones");
        if (error) return refused();
        return installed ? succeeded() : violation("succeeded without installing");
    };
    return s;
}

// 5. The console user's Trash becomes a symlink while the bundle moves there.
Scenario RaceTest::trashSwappedForSymlink() {
    const std::string home = scratch("home");
    const std::string trash = home + "/.Trash";
    fs::create_directories(trash + "/Host.app/Contents");
    vt::writeFile(trash + "/Host.app/Contents/old", "old");
    for (const std::string& path : {home, trash}) ::chown(path.c_str(), kConsoleUid, kConsoleUid);
    ::chmod(trash.c_str(), 0700);
    fs::create_symlink(sentinel() + "/Dir", home + "/.Trash-link");
    vt::writeFile(scratch("passwd"), vt::readFile("/etc/passwd") + "vicar-race:x:" + std::to_string(kConsoleUid) + ":" +
                                         std::to_string(kConsoleUid) + "::" + home + ":/usr/sbin/nologin\n");
    const std::string apps = scratch("apps");
    fs::create_directories(apps);
    auto realTrash = std::make_shared<pf::UniqueFd>(openFolder(trash));
    struct stat existing {};
    EXPECT_EQ(vdfs::statAt(realTrash->get(), "Host.app", existing), 0);
    const ino_t existingInode = existing.st_ino;

    Scenario s;
    s.flip = [=] { return swapNames(trash, home + "/.Trash-link"); };
    s.attempt = [=] {
        const std::string bundle = apps + "/Host.app";
        if (!fs::exists(bundle)) vt::writeFile(bundle + "/Contents/new", "bundle");
        VDTrustedInstaller::moveHostBundleToTrash(*pf::URL::fileURLWithPath(bundle, true));
        struct stat still {};
        if (vdfs::statAt(realTrash->get(), "Host.app", still) || still.st_ino != existingInode ||
            readAt(realTrash->get(), "Host.app/Contents/old") != "old")
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
    return s;
}

// The account database is the child's own: /etc/passwd with the console user
// added, mounted over the real one in a mount table nobody else sees. The
// child's exit status: 0 for a clean race, 1 for one with violations.
int RaceTest::inPrivateMountTable(const Race& race, std::string* summary) {
    const Scenario scenario = (this->*race.prepare)();
    const int status = vt::runInChild(
        [&] {
            if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount(scratch("passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0)
                return kNoPrivateMounts;
            ::setenv("VICAR_CONSOLE_UID", std::to_string(kConsoleUid).c_str(), 1);
            Report report;
            if (VDHomeDirectoryForUid(kConsoleUid) != scratch("home"))
                report.violations.push_back("the console user's home is not the test's");
            else
                report = runRace(scenario);
            vt::writeFile(scratch("report"), report.summary());
            return report.clean() ? 0 : 1;
        },
        kTimeBudget + std::chrono::seconds(40));
    *summary = fs::exists(scratch("report")) ? vt::readFile(scratch("report")) : "no report";
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_P(RaceTest, AttemptsDoWhatIsSignedOrRefuseAndNothingOutsideTheRootChanges) {
    const Race& race = GetParam();
    std::string summary;
    if (race.ownMountTable) {
        const int status = inPrivateMountTable(race, &summary);
        if (status == kNoPrivateMounts) GTEST_SKIP() << "no private mount table here";
        EXPECT_EQ(status, 0) << summary;
    } else {
        const Report report = runRace((this->*race.prepare)());
        summary = report.summary();
        EXPECT_TRUE(report.clean()) << summary;
    }
    std::cout << "[   race   ] " << race.name << ": " << summary.substr(0, summary.find('\n')) << "\n";
    EXPECT_EQ(difference(sentinelBefore_, snapshot(sentinel())), "");
}

const Race kRaces[] = {
    {"BomSwappedBetweenReadAndValidation", &RaceTest::bomSwappedBetweenReadAndValidation, false},
    {"SourceRewrittenInPlace", &RaceTest::sourceRewrittenInPlace, false},
    {"ParentSwappedForSymlinkOutside", &RaceTest::parentSwappedForSymlink, false},
    {"FolderLinkSwappedOutOfTheBundle", &RaceTest::folderLinkSwappedOutOfTheBundle, false},
    {"TrashSwappedForSymlink", &RaceTest::trashSwappedForSymlink, true},
};

INSTANTIATE_TEST_SUITE_P(Installer, RaceTest, ::testing::ValuesIn(kRaces),
                         [](const ::testing::TestParamInfo<Race>& info) { return std::string(info.param.name); });

} // namespace
} // namespace vti
