#include "SharedLibrary.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "Files.h"

namespace korva {
namespace {

std::string Reason(const LibraryCandidate& c, const std::string& why) {
    return c.path + " (" + c.origin + "): " + why + "\n";
}

}  // namespace

std::vector<LibraryCandidate> LibraryCandidates(const LibrarySearch& search) {
    if (!search.envVar.empty()) {
        const char* chosen = std::getenv(search.envVar.c_str());
        if (chosen != nullptr && chosen[0] != '\0') return {{chosen, "$" + search.envVar}};
    }
    std::vector<LibraryCandidate> candidates;
    if (!search.registeredPath.empty()) {
        candidates.push_back({search.registeredPath, "registered"});
    }
    const std::string lib = ProgramDirectory() + "../lib/";
    for (const std::string& name : search.names) {
        candidates.push_back({lib + name, "beside the program"});
    }
    for (const std::string& name : search.names) {
        candidates.push_back({name, "library search path"});
    }
    return candidates;
}

SharedLibrary::~SharedLibrary() {
    Close();
}

SharedLibrary::SharedLibrary(SharedLibrary&& other) noexcept
    : m_handle(std::exchange(other.m_handle, nullptr)), m_path(std::move(other.m_path)) {}

SharedLibrary& SharedLibrary::operator=(SharedLibrary&& other) noexcept {
    if (this != &other) {
        Close();
        m_handle = std::exchange(other.m_handle, nullptr);
        m_path = std::move(other.m_path);
    }
    return *this;
}

void* SharedLibrary::Symbol(const char* name) const {
    return m_handle != nullptr ? ::dlsym(m_handle, name) : nullptr;
}

void* SharedLibrary::Release() {
    return std::exchange(m_handle, nullptr);
}

void SharedLibrary::Close() {
    if (m_handle != nullptr) ::dlclose(std::exchange(m_handle, nullptr));
}

bool LoadFirstLibrary(const std::vector<LibraryCandidate>& candidates,
                      const std::vector<const char*>& required, int flags, SharedLibrary* out,
                      std::string* reasons) {
    std::string why;
    for (const LibraryCandidate& c : candidates) {
        if (c.path.find('/') != std::string::npos) {
            // Checked first so the message says "not there" rather than the
            // loader's longer text, and a FIFO is never handed to it.
            struct stat st {};
            if (::stat(c.path.c_str(), &st) != 0) {
                why += Reason(c, ErrnoText(errno));
                continue;
            }
            if (!S_ISREG(st.st_mode)) {
                why += Reason(c, "not a regular file");
                continue;
            }
        }
        ::dlerror();
        void* handle = ::dlopen(c.path.c_str(), flags);
        if (handle == nullptr) {
            const char* text = ::dlerror();
            why += Reason(c, text != nullptr ? text : "cannot be loaded");
            continue;
        }
        std::string missing;
        for (const char* name : required) {
            if (::dlsym(handle, name) == nullptr)
                missing += (missing.empty() ? "" : ", ") + std::string(name);
        }
        if (!missing.empty()) {
            ::dlclose(handle);
            why += Reason(c, "lacks " + missing);
            continue;
        }
        out->Close();
        out->m_handle = handle;
        out->m_path = c.path;
        return true;
    }
    if (candidates.empty()) why = "no place to look\n";
    if (reasons != nullptr) *reasons = why;
    return false;
}

bool LoadFirstLibrary(const std::vector<LibraryCandidate>& candidates,
                      std::initializer_list<const char*> required, int flags, SharedLibrary* out,
                      std::string* reasons) {
    return LoadFirstLibrary(candidates, std::vector<const char*>(required), flags, out, reasons);
}

std::string ObjectDirectory(const void* address) {
    Dl_info info{};
    if (::dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
    const std::string path = info.dli_fname;
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ProgramDirectory() {
    std::string path(PATH_MAX, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= path.size()) return "./";
    path.resize(static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return "./";
    return path.substr(0, slash + 1);
}

}  // namespace korva
