// SPDX-License-Identifier: MIT
// `mediaio register` and `mediaio unregister`: the engine module's own registration entry
// points, for the machine or (--user) the current user.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "commands.h"
#include "engine.h"

namespace mediaio {

namespace {

constexpr const char* kRegisterUsage =
    "usage: mediaio register [--user] [--registry DIR]\n"
    "       mediaio unregister [--user] [--registry DIR]\n"
    "  Registers the engine's classes (or removes that registration) through the library's\n"
    "  own entry points, so hosts can create them by class identifier. The library is the\n"
    "  one the tool loads (see --library).\n"
    "  --user          for the current user only, instead of the machine\n"
    "  --registry DIR  keep the registry files (machine.reg, user.reg) in DIR instead of\n"
    "                  their usual places, for staging an installation\n";

int usage(const std::string& command, const std::string& why)
{
    std::fprintf(stderr, "mediaio %s: %s\n%s", command.c_str(), why.c_str(), kRegisterUsage);
    return kExitUsage;
}

} // namespace

int runRegister(const GlobalOptions& global, const std::vector<std::string>& args, bool registering)
{
    const std::string command = registering ? "register" : "unregister";
    bool user = false;
    std::string registry;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kRegisterUsage, stdout);
            return kExitOk;
        } else if (arg == "--user") {
            user = true;
        } else if (arg == "--registry") {
            if (i + 1 >= args.size() || args[i + 1].empty())
                return usage(command, "--registry needs a folder");
            registry = args[++i];
        } else if (!arg.empty() && arg[0] == '-') {
            return usage(command, "unknown option " + arg);
        } else {
            return usage(command, "takes no files");
        }
    }
    Engine engine;
    std::string error;
    if (!engine.load(global.library, error)) {
        std::fprintf(stderr, "mediaio: %s\n", error.c_str());
        return kExitFailed;
    }
    if (!registry.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(registry, ec);
        if (ec) {
            std::fprintf(stderr, "mediaio: %s: %s\n", registry.c_str(), ec.message().c_str());
            return kExitFailed;
        }
        TavrelSetRegistryRoot(registry.c_str(), registry.c_str());
    }
    using Plain = HRESULT (*)();
    using Install = HRESULT (*)(BOOL, PCWSTR);
    HRESULT hr = E_FAIL;
    if (user) {
        // Only DllInstall knows the per-user switch.
        auto install = reinterpret_cast<Install>(engine.symbol("DllInstall"));
        if (!install) {
            std::fprintf(stderr, "mediaio: %s has no DllInstall\n", engine.modulePath().c_str());
            return kExitFailed;
        }
        hr = install(registering ? TRUE : FALSE, u"user");
    } else {
        auto entry = reinterpret_cast<Plain>(
            engine.symbol(registering ? "DllRegisterServer" : "DllUnregisterServer"));
        if (!entry) {
            std::fprintf(stderr, "mediaio: %s has no %s\n", engine.modulePath().c_str(),
                         registering ? "DllRegisterServer" : "DllUnregisterServer");
            return kExitFailed;
        }
        hr = entry();
    }
    const std::string scope = user ? "the current user" : "the machine";
    if (FAILED(hr)) {
        std::fprintf(stderr, "mediaio: %s: cannot %s for %s (%s)\n", engine.modulePath().c_str(),
                     command.c_str(), scope.c_str(), engine.describeFailure(hr).c_str());
        return kExitFailed;
    }
    std::printf("%s %s for %s\n", registering ? "registered" : "unregistered",
                engine.modulePath().c_str(), scope.c_str());
    return kExitOk;
}

} // namespace mediaio
