// What the packer gives an executable packed with --cache: the name its
// versions share and the id of this version.
#include "executable/executable.h"

#include <xxhash.h>

#include <cstdio>
#include <fstream>

namespace pack {

std::string cacheNameProblem(const std::string& name)
{
    if (name.empty() || name.size() > ONEFILE_CACHE_NAME_MAX) {
        return "must be 1 to " + std::to_string(ONEFILE_CACHE_NAME_MAX) + " characters";
    }
    for (const char c : name) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                             c == '_' || c == '-';
        if (!allowed) return "may hold only letters, digits, '.', '_' and '-'";
    }
    if (name == "." || name == "..") return "is not a folder's name";
    return "";
}

CacheIdHasher::CacheIdHasher() : state_(XXH64_createState())
{
    if (state_ == nullptr) throw Error("no memory is left to hash the block");
    // Seeded with the cache's layout: a version of another one is never reused.
    XXH64_reset(state_, ONEFILE_CACHE_LAYOUT);
}

CacheIdHasher::~CacheIdHasher()
{
    XXH64_freeState(state_);
}

void CacheIdHasher::add(const uint8_t* bytes, size_t size)
{
    XXH64_update(state_, bytes, size);
}

std::string CacheIdHasher::id() const
{
    char text[ONEFILE_CACHE_ID_LENGTH + 1];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(XXH64_digest(state_)));
    return text;
}

std::string cacheIdOf(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) throw Error(file.string() + ": cannot be read");
    CacheIdHasher hasher;
    char chunk[1 << 16];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        hasher.add(reinterpret_cast<const uint8_t*>(chunk), static_cast<size_t>(in.gcount()));
    }
    return hasher.id();
}

}  // namespace pack
