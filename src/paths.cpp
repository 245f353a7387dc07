#include "paths.hpp"

#include <limits.h>
#include <unistd.h>
#include <string>

#include "errors.hpp"

namespace ruvo {

namespace {

// The directory is read at every recorded event: C code (ctypes, extension
// modules) can change it without telling the interpreter, so no cached value
// can be trusted. Only what is derived from the text is kept between reads,
// for as long as the text stays the same. Runs with the interpreter lock
// held, which guards the cache.
struct DirectoryCache {
    std::string directory;
    bool plain = false;
};
DirectoryCache directory_cache;

}  // namespace

bool current_directory(std::string_view* out, bool* plain) {
    DirectoryCache& cache = directory_cache;
    char buffer[PATH_MAX];
    if (getcwd(buffer, sizeof buffer) == nullptr) {
        set_internal_error("Current directory is invalid.");
        return false;
    }
    std::string_view now(buffer);
    if (now != cache.directory) {
        cache.directory.assign(now);
        cache.plain = is_plain_directory(cache.directory);
    }
    *out = cache.directory;
    *plain = cache.plain;
    return true;
}

// The next path component from `pos` on; "." components are skipped, as
// they name the same directory.
static std::optional<std::string_view> next_component(std::string_view path, size_t& pos) {
    while (true) {
        while (pos < path.size() && path[pos] == '/') ++pos;
        if (pos >= path.size()) return std::nullopt;
        size_t end = path.find('/', pos);
        if (end == std::string_view::npos) end = path.size();
        std::string_view component = path.substr(pos, end - pos);
        pos = end;
        if (component != ".") return component;
    }
}

bool is_plain_directory(std::string_view directory) {
    return directory.size() > 1 && directory.back() != '/' && directory.find("/.") == std::string_view::npos &&
           directory.find("//") == std::string_view::npos;
}

std::string_view relative_path(std::string_view filename, std::string_view cwd, bool cwd_is_plain) {
    // A relative name can never lie under the (absolute) current directory.
    if (filename.empty() || filename[0] != '/' || cwd.empty() || cwd[0] != '/') return filename;
    // The usual case: a plain directory's exact text, a slash, and a plain
    // rest. (The walk below gives the same answer, component by component.)
    if (cwd_is_plain) {
        // A plain directory's components are its text. Up to where the two
        // texts first differ they are the same components; if the name
        // differs there by an ordinary character, its component differs and
        // no walk could realign them.
        size_t limit = std::min(filename.size(), cwd.size());
        size_t same = 0;
        while (same < limit && filename[same] == cwd[same]) ++same;
        if (same == cwd.size()) {
            if (filename.size() > same + 1 && filename[same] == '/') {
                std::string_view rest = filename.substr(same + 1);
                if (rest[0] != '/' && rest.substr(0, 2) != "./" && rest != ".") return rest;
            }
        } else if (same < filename.size() && filename[same] != '/' && filename[same] != '.') {
            return filename;
        }
    }
    size_t file_pos = 0, cwd_pos = 0;
    while (auto directory = next_component(cwd, cwd_pos)) {
        auto component = next_component(filename, file_pos);
        if (!component || *component != *directory) return filename;
    }
    std::string_view rest = filename.substr(file_pos);
    while (true) {
        if (!rest.empty() && rest[0] == '/') {
            rest.remove_prefix(1);
        } else if (rest.substr(0, 2) == "./" || rest == ".") {
            rest.remove_prefix(1);
        } else {
            break;
        }
    }
    return rest;
}

}  // namespace ruvo
