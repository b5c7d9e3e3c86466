#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "platform/launchd/JobDescription.h"
#include "platform/launchd/JobFile.h"

namespace pf::launchd {

namespace {

constexpr std::string_view kSuffix = ".plist";

// The job file names of the folder, sorted; at most kMaxJobs + 1 so that an
// overfull folder is noticed without reading all of it.
std::vector<std::string> jobFileNames(int folderFd, std::string* why) {
    std::vector<std::string> names;
    const int fd = ::fcntl(folderFd, F_DUPFD_CLOEXEC, 0);
    DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!dir) {
        if (fd >= 0) ::close(fd);
        *why = "cannot list";
        return names;
    }
    std::size_t seen = 0;
    while (const dirent* entry = ::readdir(dir)) {
        std::string_view name(entry->d_name);
        if (name.front() == '.' || name.size() <= kSuffix.size() || !name.ends_with(kSuffix)) continue;
        names.emplace_back(name);
        // Bounds the memory a folder full of names can make us use.
        if (++seen > 4 * kMaxJobs) break;
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

std::vector<JobDescription> loadJobs(const std::string& folderPath, std::vector<std::string>* problems) {
    std::vector<JobDescription> jobs;
    std::string why;
    auto folder = detail::JobsFolder::open(folderPath, ::geteuid(), &why);
    if (!folder) {
        problems->push_back(folderPath + ": " + why);
        return jobs;
    }
    const auto names = jobFileNames(folder->fd(), &why);
    if (!why.empty()) problems->push_back(folderPath + ": " + why);
    std::set<std::string, std::less<>> claimed;
    for (const std::string& name : names) {
        if (jobs.size() == kMaxJobs) {
            problems->push_back(folderPath + ": more than " + std::to_string(kMaxJobs) + " jobs; the rest are skipped");
            break;
        }
        auto value = folder->read(name, &why);
        if (!value) {
            problems->push_back(name + ": " + why);
            continue;
        }
        auto job = jobDescriptionFromValue(*value, &why);
        if (!job) {
            problems->push_back(name + ": " + why);
            continue;
        }
        const std::string_view stem = std::string_view(name).substr(0, name.size() - kSuffix.size());
        if (job->label != stem) {
            problems->push_back(name + ": \"Label\" is \"" + job->label + "\", not the file's name");
            continue;
        }
        auto taken = std::find_if(job->machServices.begin(), job->machServices.end(),
                                  [&](const std::string& service) { return claimed.count(service) != 0; });
        if (taken != job->machServices.end()) {
            problems->push_back(name + ": Mach service \"" + *taken + "\" belongs to an earlier job");
            continue;
        }
        claimed.insert(job->machServices.begin(), job->machServices.end());
        jobs.push_back(std::move(*job));
    }
    return jobs;
}

} // namespace pf::launchd
