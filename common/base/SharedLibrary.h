#pragma once
// Loading libraries at run time: one search rule, one loader. Every library
// the programs load by name (the control module, its dialog library, the
// drawing library, the D2XX library) is found and opened here, and a failure
// names every candidate tried and why it was refused.
#include <dlfcn.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace korva {

// One place to try: a path (holding a '/') is tried as it is; a bare file
// name goes to the dynamic loader's own search (RPATH, LD_LIBRARY_PATH, the
// system folders).
struct LibraryCandidate {
    std::string path;
    std::string origin;  // why it is tried, for the error message
};

// The standard search for a library the programs load by name:
//   1. $envVar when set (and non-empty), and then nothing else: an explicit
//      choice is never silently replaced by another library;
//   2. the registered path, when there is one (the control module's
//      registration: RegisteredModulePath in RegistryFile.h);
//   3. each name in ../lib beside the program (build and install trees);
//   4. each name through the dynamic loader's search path.
struct LibrarySearch {
    std::string envVar;
    std::string registeredPath;
    std::vector<std::string> names;
};
std::vector<LibraryCandidate> LibraryCandidates(const LibrarySearch& search);

// An open library; closes it when destroyed (RAII). Move-only.
class SharedLibrary {
  public:
    SharedLibrary() = default;
    ~SharedLibrary();
    SharedLibrary(SharedLibrary&& other) noexcept;
    SharedLibrary& operator=(SharedLibrary&& other) noexcept;
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    bool IsLoaded() const { return m_handle != nullptr; }
    // The candidate it was loaded from, as given.
    const std::string& Path() const { return m_path; }
    void* Symbol(const char* name) const;
    template <typename F>
    F Function(const char* name) const {
        return reinterpret_cast<F>(Symbol(name));
    }
    // Gives up ownership: the library stays loaded for good (a driver whose
    // threads may outlive the object). Returns the handle.
    void* Release();
    void Close();

  private:
    friend bool LoadFirstLibrary(const std::vector<LibraryCandidate>&,
                                 const std::vector<const char*>&, int, SharedLibrary*,
                                 std::string*);
    void* m_handle = nullptr;
    std::string m_path;
};

// Opens the first candidate that exists, loads (dlopen with flags) and
// exports every required symbol; a library lacking one is closed and the
// next candidate tried. False when none does, with one line per candidate
// in *reasons: "<path> (<origin>): <why>"; *out then keeps what it held.
bool LoadFirstLibrary(const std::vector<LibraryCandidate>& candidates,
                      std::initializer_list<const char*> required, int flags, SharedLibrary* out,
                      std::string* reasons);
// The same with the required symbols in a list.
bool LoadFirstLibrary(const std::vector<LibraryCandidate>& candidates,
                      const std::vector<const char*>& required, int flags, SharedLibrary* out,
                      std::string* reasons);

// The folder of the object file (program or shared library) that holds the
// given address, ending in '/'; empty when unknown. A library finds files
// beside itself with it.
std::string ObjectDirectory(const void* address);

// Directory of the running executable (/proc/self/exe), ending in '/'.
std::string ProgramDirectory();

}  // namespace korva
