#include "platform/launchd/JobDescription.h"

#include "platform/launchd/JobFile.h"

namespace pf::launchd {

namespace {

bool hasNul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

// A service name becomes a socket file name and one entry of the
// ":"-separated LISTEN_FDNAMES, so it may hold neither "/" nor ":".
bool isValidServiceName(std::string_view name) {
    return detail::isValidLabel(name) && name.find(':') == std::string_view::npos;
}

struct Checker {
    const pf::Value& job;
    std::string* problem;

    bool fail(std::string text) {
        *problem = std::move(text);
        return false;
    }

    bool optionalString(const char* key, std::optional<std::string>& out) {
        const pf::Value* v = job.find(key);
        if (!v) return true;
        if (!v->isString() || v->string().empty() || hasNul(v->string()))
            return fail(std::string("\"") + key + "\" must be a non-empty string");
        out = v->string();
        return true;
    }

    bool programArguments(std::vector<std::string>& out) {
        const pf::Value* v = job.find("ProgramArguments");
        if (!v) return true;
        if (!v->isArray() || v->array().size() > kMaxProgramArguments)
            return fail("\"ProgramArguments\" must be an array of at most " + std::to_string(kMaxProgramArguments) +
                        " strings");
        for (const pf::Value& argument : v->array()) {
            if (!argument.isString() || hasNul(argument.string()))
                return fail("\"ProgramArguments\" must be an array of strings");
            out.push_back(argument.string());
        }
        return true;
    }

    bool machServices(std::vector<std::string>& out) {
        const pf::Value* v = job.find("MachServices");
        if (!v) return true;
        if (!v->isDictionary() || v->dictionary().size() > kMaxMachServicesPerJob)
            return fail("\"MachServices\" must be a dictionary of at most " + std::to_string(kMaxMachServicesPerJob) +
                        " services");
        for (const auto& [name, value] : v->dictionary()) {
            if (!isValidServiceName(name)) return fail("\"MachServices\" holds an unusable name \"" + name + "\"");
            if (!value.isBoolean() && !value.isDictionary())
                return fail("\"MachServices\" value of \"" + name + "\" must be a boolean or a dictionary");
            if (value.isBoolean() && !value.boolean()) continue; // declared but switched off
            out.push_back(name);
        }
        return true;
    }

    bool environment(std::map<std::string, std::string>& out) {
        const pf::Value* v = job.find("EnvironmentVariables");
        if (!v) return true;
        if (!v->isDictionary() || v->dictionary().size() > kMaxEnvironmentVariables)
            return fail("\"EnvironmentVariables\" must be a dictionary of at most " +
                        std::to_string(kMaxEnvironmentVariables) + " strings");
        for (const auto& [name, value] : v->dictionary()) {
            if (name.empty() || name.find('=') != std::string::npos || hasNul(name))
                return fail("\"EnvironmentVariables\" holds an unusable name \"" + name + "\"");
            if (!value.isString() || hasNul(value.string()))
                return fail("\"EnvironmentVariables\" value of \"" + name + "\" must be a string");
            out[name] = value.string();
        }
        return true;
    }

    bool timeOut(std::optional<std::int64_t>& out) {
        const pf::Value* v = job.find("TimeOut");
        if (!v) return true;
        if (!v->isInteger()) return fail("\"TimeOut\" must be an integer");
        out = v->integer();
        return true;
    }
};

} // namespace

std::optional<JobDescription> jobDescriptionFromValue(const pf::Value& job, std::string* problem) {
    if (!job.isDictionary()) {
        *problem = "the top level is not a dictionary";
        return std::nullopt;
    }
    Checker check{job, problem};
    JobDescription out;
    const pf::Value* label = job.find("Label");
    if (!label || !label->isString() || !detail::isValidLabel(label->string())) {
        *problem = "\"Label\" must be a string without \"/\" that does not start with \".\"";
        return std::nullopt;
    }
    out.label = label->string();
    if (!check.programArguments(out.programArguments) || !check.machServices(out.machServices) ||
        !check.optionalString("UserName", out.userName) || !check.optionalString("GroupName", out.groupName) ||
        !check.environment(out.environmentVariables) || !check.timeOut(out.timeOut))
        return std::nullopt;
    return out;
}

} // namespace pf::launchd
