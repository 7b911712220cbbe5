// The command line of onefile-pack: its usage text, the options of create
// and build, and where the bootstrap's SDK is.
#pragma once

#include "block/block.h"
#include "executable/executable.h"
#include "signing/signing.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

// Why the command line cannot be read, then the usage, on standard error;
// exit code 64.
int usage(const std::string& reason);

// A command line the tools cannot act on: one line, exit code 64.
struct UsageError : pack::Error {
    using pack::Error::Error;
};

// On a terminal, a progress bar on standard error; otherwise nothing.
pack::Progress terminalProgress();

struct Arguments {
    std::string entry, output, directory, block, splash, icon, sdk, depfile, tempDir;
    std::vector<std::string> dllPath;
    std::vector<std::string> systemDlls;  // --system-dll
    bool sweep = true;
    bool collect = true;
    bool dereference = false;  // links to files inside the folder carried as copies
    bool strip = true;         // the collected toolchain runtimes
    bool errorDialog = true;
    bool console = false;
    bool splashProgress = false;
    bool help = false;
    pack::CompressionOptions options;
    pack::VersionInfo version;
    pack::ManifestChoice manifest;
    pack::SigningRequest signing;
    pack::CacheRequest cache;
    std::string cacheDir;
};

// The options of create and build; any other option, a missing value or a
// second directory is a usage error.
Arguments parseArguments(int argc, char** argv);

// The bootstrap build to link with: --sdk, else $ONEFILE_SDK, else the one
// beside this program.
std::filesystem::path sdkDescription(const Arguments& arguments);
