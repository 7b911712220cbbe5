// Starting the tools the packer relies on (the cross toolchain, xmllint,
// osslsigncode, openssl) with an argument vector: no shell, so no quoting
// to get wrong.
#include "support/support.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace pack {

namespace {

// The tool's exit status (-1 when it did not end normally); throws when it
// cannot be started.
int spawnAndWait(const std::vector<std::string>& arguments, const std::string& what,
                 const std::filesystem::path& output)
{
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!output.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    }
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw Error(what + " failed: cannot start " + arguments[0] + ": " + std::strerror(spawned));
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) throw Error(what + " failed: cannot wait for " + arguments[0]);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

void runTool(const std::vector<std::string>& arguments, const std::string& what)
{
    if (spawnAndWait(arguments, what, {}) != 0) throw Error(what + " failed: " + arguments[0] + " reported an error");
}

int runToolCapturing(const std::vector<std::string>& arguments, const std::string& what,
                     const std::filesystem::path& output)
{
    return spawnAndWait(arguments, what, output);
}

bool toolIsInstalled(const std::string& name)
{
    const char* const path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= folders.size();) {
        const size_t end = folders.find(':', start);
        const std::string folder = folders.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!folder.empty() && access((folder + "/" + name).c_str(), X_OK) == 0) return true;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return false;
}

std::vector<uint8_t> readBinaryFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    std::vector<uint8_t> bytes(in ? static_cast<size_t>(in.tellg()) : 0);
    if (!in || !in.seekg(0) ||
        !in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) {
        throw Error(file.string() + ": cannot be read");
    }
    return bytes;
}

}  // namespace pack
