#include "platform/launchd/JobDescription.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "platform/foundation/PropertyList.h"
#include "platform/system/Membership.h"

namespace pf::launchd {
namespace {

constexpr std::size_t kMaxJobBytes = 1u << 20;

bool plainFileName(std::string_view name) {
    return !name.empty() && name.size() < 200 && name[0] != '.' && name.find('/') == std::string_view::npos;
}

const char* env(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

} // namespace

Domain domainForCurrentProcess() { return ::getuid() == 0 ? Domain::System : Domain::User; }

std::optional<std::string> jobsDirectory(Domain domain) {
    if (domain == Domain::System) {
        if (const char* dir = env("VICAR_SYSTEM_JOBS_DIR")) return std::string(dir);
        return std::string("/etc/vicar/jobs");
    }
    if (const char* dir = env("VICAR_USER_JOBS_DIR")) return std::string(dir);
    if (const char* dir = env("XDG_CONFIG_HOME")) return std::string(dir) + "/vicar/jobs";
    auto home = homeDirectoryForUid(::getuid());
    if (!home) return std::nullopt;
    return *home + "/.config/vicar/jobs";
}

std::optional<Value> copyJobDictionary(std::string_view label, Domain domain) {
    if (!plainFileName(label)) return std::nullopt;
    auto folder = jobsDirectory(domain);
    if (!folder) return std::nullopt;
    PropertyListLimits limits;
    limits.maxBytes = kMaxJobBytes;
    auto job = propertyListFromFile(*folder + "/" + std::string(label) + ".plist", limits);
    if (!job || !job->isDictionary()) return std::nullopt;
    return job;
}

std::optional<JobDescription> parseJob(const Value& value, std::string* problem) {
    auto fail = [&](const std::string& why) -> std::optional<JobDescription> {
        if (problem) *problem = why;
        return std::nullopt;
    };
    if (!value.isDictionary()) return fail("not a dictionary");
    JobDescription job;
    const Value* label = value.find("Label");
    if (!label || !label->isString() || !plainFileName(label->string())) return fail("no usable \"Label\"");
    job.label = label->string();
    if (const Value* args = value.find("ProgramArguments")) {
        if (!args->isArray()) return fail("\"ProgramArguments\" is not an array");
        for (const auto& a : args->array()) {
            if (!a.isString()) return fail("\"ProgramArguments\" holds a non-string");
            job.programArguments.push_back(a.string());
        }
    }
    if (const Value* services = value.find("MachServices")) {
        if (!services->isDictionary()) return fail("\"MachServices\" is not a dictionary");
        for (const auto& [name, on] : services->dictionary())
            if (plainFileName(name)) job.machServices.push_back(name);
    }
    for (auto [key, field] : {std::pair{"UserName", &job.userName}, std::pair{"GroupName", &job.groupName}}) {
        if (const Value* v = value.find(key)) {
            if (!v->isString()) return fail(std::string("\"") + key + "\" is not a string");
            *field = v->string();
        }
    }
    if (const Value* vars = value.find("EnvironmentVariables")) {
        if (!vars->isDictionary()) return fail("\"EnvironmentVariables\" is not a dictionary");
        for (const auto& [k, v] : vars->dictionary()) {
            if (!v.isString() || k.empty() || k.find('=') != std::string::npos) return fail("bad environment entry");
            job.environment.emplace_back(k, v.string());
        }
    }
    if (const Value* t = value.find("TimeOut"); t && t->isNumber()) job.timeOut = t->integerValue();
    return job;
}

std::vector<JobDescription> loadJobs(const std::string& folder, std::vector<std::string>* problems) {
    std::vector<JobDescription> jobs;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) {
        if (problems) problems->push_back(folder + ": cannot be read");
        return jobs;
    }
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (plainFileName(name) && name.size() > 6 && name.ends_with(".plist")) names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        PropertyListLimits limits;
        limits.maxBytes = kMaxJobBytes;
        auto value = propertyListFromFile(folder + "/" + name, limits);
        std::string problem = "does not parse";
        std::optional<JobDescription> job;
        if (value) job = parseJob(*value, &problem);
        if (job)
            jobs.push_back(std::move(*job));
        else if (problems)
            problems->push_back(name + ": " + problem);
    }
    return jobs;
}

} // namespace pf::launchd
