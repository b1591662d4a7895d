// The one search rule for libraries loaded at run time: an environment
// variable alone, else the registration, else ../lib beside the program,
// else the loader's search path; every refusal is named.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "RegistryFile.h"
#include "ScopedEnv.h"
#include "SharedLibrary.h"

namespace korva {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;

constexpr const char* kEnv = "KORVA_TEST_LOADER";
const std::string kNameA = fs::path(LOADER_A).filename().string();

class Scratch {
  public:
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "korva_loader_XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) m_dir = pattern;
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }
    // A copy of library B under another name, as a registration would name it.
    std::string CopyOfB() const {
        fs::copy_file(LOADER_B, Path("registered.so"), fs::copy_options::overwrite_existing);
        return Path("registered.so");
    }

  private:
    std::string m_dir;
};

char IdOf(const SharedLibrary& library) {
    auto id = library.Function<char (*)()>("korva_test_library_id");
    return id != nullptr ? id() : '?';
}

TEST(LibraryLoader, SearchOrder) {
    Scratch scratch;
    const std::string registered = scratch.CopyOfB();
    const std::string beside = ProgramDirectory() + "../lib/" + kNameA;
    struct Case {
        const char* what;
        const char* env;           // nullptr: unset
        std::string registration;  // "" when none
        char expected;             // the copy loaded, 0 when none
        std::string path;          // the candidate it came from
    };
    const Case cases[] = {
        {"the environment variable wins", LOADER_B, registered, 'b', LOADER_B},
        {"the registration before the copy beside the program", nullptr, registered, 'b',
         registered},
        {"a stale registration falls back to the copy beside the program", nullptr,
         scratch.Path("gone.so"), 'a', beside},
        {"without either: the copy beside the program", nullptr, "", 'a', beside},
        {"an empty variable counts as unset", "", "", 'a', beside},
        {"an explicit choice that fails is not replaced behind the user's back",
         "/nonexistent/lib.so", registered, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedEnv env(kEnv, c.env);
        SharedLibrary library;
        std::string reasons;
        const bool loaded =
            LoadFirstLibrary(LibraryCandidates({kEnv, c.registration, {kNameA}}),
                             {"korva_test_library_id"}, RTLD_NOW | RTLD_LOCAL, &library, &reasons);
        EXPECT_EQ(loaded, c.expected != 0) << reasons;
        if (!loaded) {
            EXPECT_NE(reasons.find("/nonexistent/lib.so ($KORVA_TEST_LOADER): No such file"),
                      std::string::npos)
                << reasons;
            EXPECT_EQ(reasons.find(registered), std::string::npos) << reasons;
            continue;
        }
        EXPECT_EQ(IdOf(library), c.expected);
        EXPECT_EQ(library.Path(), c.path);
    }
}

TEST(LibraryLoader, EveryRefusalIsNamedAndMissingSymbolsMoveOn) {
    Scratch scratch;
    ASSERT_EQ(::mkfifo(scratch.Path("fifo.so").c_str(), 0600), 0);
    std::ofstream(scratch.Path("text.so")) << "not a library";
    ScopedEnv env(kEnv, nullptr);
    const auto start = std::chrono::steady_clock::now();
    SharedLibrary library;
    std::string reasons;
    const std::vector<LibraryCandidate> candidates = {
        {scratch.Path("fifo.so"), "registered"},
        {scratch.Path("text.so"), "beside the program"},
        {LOADER_B, "beside the module"},  // lacks the extra symbol
        {"libkorva_no_such_library.so", "library search path"},
        {LOADER_A, "last"},
    };
    ASSERT_TRUE(LoadFirstLibrary(candidates, {"korva_test_library_extra"}, RTLD_NOW | RTLD_LOCAL,
                                 &library, &reasons));
    EXPECT_EQ(IdOf(library), 'a');
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));  // no FIFO wait

    ASSERT_FALSE(LoadFirstLibrary({candidates.begin(), candidates.end() - 1},
                                  {"korva_test_library_extra"}, RTLD_NOW | RTLD_LOCAL, &library,
                                  &reasons));
    EXPECT_EQ(IdOf(library), 'a');  // a failed search leaves the library held as it was
    for (const std::string& line :
         {scratch.Path("fifo.so") + " (registered): not a regular file",
          scratch.Path("text.so") + " (beside the program): ",
          std::string(LOADER_B) + " (beside the module): lacks korva_test_library_extra",
          std::string("libkorva_no_such_library.so (library search path): ")}) {
        EXPECT_NE(reasons.find(line), std::string::npos) << line << "\n" << reasons;
    }
}

// The control module is found alike by every host: $KORVA_MODULE alone, else
// the registration (read without blocking), then ../lib, then by name.
TEST(LibraryLoader, ControlModuleCandidatesFollowTheRule) {
    Scratch scratch;
    ScopedEnv data("XDG_DATA_HOME", scratch.Path("data").c_str());
    fs::create_directories(scratch.Path("data/korva"));
    const std::string registry = RegistryFilePath();
    ASSERT_EQ(registry, scratch.Path("data/korva/registry.ini"));
    std::ofstream(registry) << "[My.Control.1]\nCLSID={1}\n[CLSID\\{1}]\nInprocServer=/opt/m.so\n";
    {
        ScopedEnv module("KORVA_MODULE", nullptr);
        const auto c = ControlModuleCandidates("my.control.1");
        ASSERT_EQ(c.size(), 5u);
        EXPECT_EQ(c[0].path, "/opt/m.so");
        EXPECT_EQ(c[1].path, ProgramDirectory() + "../lib/libKORVAKT3002.so.1");
        EXPECT_EQ(c[2].path, ProgramDirectory() + "../lib/libKORVAKT3002.so");
        EXPECT_EQ(c[3].path, "libKORVAKT3002.so.1");
        EXPECT_EQ(c[4].path, "libKORVAKT3002.so");
    }
    {
        ScopedEnv module("KORVA_MODULE", "/chosen/libKORVAKT3002.so");
        const auto c = ControlModuleCandidates("my.control.1");
        ASSERT_EQ(c.size(), 1u);
        EXPECT_EQ(c[0].path, "/chosen/libKORVAKT3002.so");
    }
    fs::remove(registry);
    ASSERT_EQ(::mkfifo(registry.c_str(), 0600), 0);
    ScopedEnv module("KORVA_MODULE", nullptr);
    EXPECT_EQ(ControlModuleCandidates("my.control.1").size(), 4u);  // returns, not blocks
}

}  // namespace
}  // namespace korva
