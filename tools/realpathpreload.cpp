// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

// Preloaded ahead of umockdev in the tests that plant hardware: Debian 12's umockdev (0.17.16)
// corrupts memory in its realpath() (realpath(path, NULL) on a /dev path aborts in malloc, as
// seen here with a plain C program under umockdev-wrapper), and Qt's canonicalFilePath() calls
// it. This realpath() walks the path with lstat() and readlink(), which umockdev redirects
// correctly.

// The fortified inline realpath() of the C library's headers would clash with this one.
#undef _FORTIFY_SOURCE

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kMaxLinks = 40;

// The path's parts, in order.
std::vector<std::string> parts(const std::string &path)
{
    std::vector<std::string> found;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t end = std::min(path.find('/', start), path.size());
        if (end > start)
            found.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return found;
}

bool resolve(const char *path, std::string &result)
{
    std::string todo = path;
    if (todo.empty()) {
        errno = ENOENT;
        return false;
    }
    if (todo[0] != '/') {
        char cwd[PATH_MAX];
        if (!::getcwd(cwd, sizeof cwd))
            return false;
        todo = std::string(cwd) + '/' + todo;
    }
    std::vector<std::string> left = parts(todo);
    std::vector<std::string> done;
    int links = 0;
    while (!left.empty()) {
        const std::string part = left.front();
        left.erase(left.begin());
        if (part == ".")
            continue;
        if (part == "..") {
            if (!done.empty())
                done.pop_back();
            continue;
        }
        std::string candidate;
        for (const std::string &d : done)
            candidate += '/' + d;
        candidate += '/' + part;
        struct stat node
        {};
        if (::lstat(candidate.c_str(), &node) != 0)
            return false;
        if (!S_ISLNK(node.st_mode)) {
            done.push_back(part);
            continue;
        }
        if (++links > kMaxLinks) {
            errno = ELOOP;
            return false;
        }
        char target[PATH_MAX];
        const ssize_t length = ::readlink(candidate.c_str(), target, sizeof target - 1);
        if (length < 0)
            return false;
        target[length] = '\0';
        std::vector<std::string> more = parts(target);
        if (target[0] == '/')
            done.clear();
        left.insert(left.begin(), more.begin(), more.end());
    }
    result.clear();
    for (const std::string &d : done)
        result += '/' + d;
    if (result.empty())
        result = "/";
    return true;
}

} // namespace

extern "C" {

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
__attribute__((visibility("default"))) char *realpath(const char *path, char *resolved)
{
    std::string result;
    if (!path) {
        errno = EINVAL;
        return nullptr;
    }
    if (!resolve(path, result))
        return nullptr;
    if (result.size() >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    if (!resolved)
        return ::strdup(result.c_str());
    std::memcpy(resolved, result.c_str(), result.size() + 1);
    return resolved;
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name,bugprone-reserved-identifier)
__attribute__((visibility("default"))) char *__realpath_chk(const char *path, char *resolved, size_t)
{
    return realpath(path, resolved);
}
}
