// Replacing and reading whole files: a failed save never changes the file it
// was meant to replace, and a reader never blocks on what is not a file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Files.h"

namespace korva {
namespace {

namespace fs = std::filesystem;

class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "korva_files_XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) m_dir = pattern;
        ::chmod(m_dir.c_str(), 0755);  // reachable by the unprivileged child below
    }
    ~TempDir() {
        std::error_code ec;
        ::chmod((m_dir + "/in").c_str(), 0755);  // the read-only folder of a case
        fs::remove_all(m_dir, ec);
    }
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }
    const std::string& Root() const { return m_dir; }

  private:
    std::string m_dir;
};

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void Write(const std::string& path, const std::string& bytes, mode_t mode = 0644) {
    std::ofstream(path, std::ios::binary) << bytes;
    ::chmod(path.c_str(), mode);
}

mode_t Mode(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

// Names in a folder, so a test sees a temporary file left behind.
std::vector<std::string> Names(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Runs a save as a user who may not create files in a folder: root may
// create files anywhere, so as root the save runs in a child that gives up
// root first.
bool SaveAsUnprivileged(const std::string& path, const std::string& data) {
    return test::RunInChild([&] {
               if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 2;
               std::string error;
               if (ReplaceFile(path, data, &error)) return 0;
               return error.empty() ? 3 : 1;
           }) == 0;
}

TEST(ReplaceFile, SavesThatSucceed) {
    const mode_t mask = ::umask(022);
    ::umask(mask);
    struct Case {
        const char* what;
        std::function<std::string(const TempDir&)> setup;  // the path to save to
        std::string target;                                // the file that must hold the data
        mode_t mode;
    };
    const Case cases[] = {
        {"ordinary file, mode kept",
         [](const TempDir& d) {
             Write(d.Path("plain.txt"), "old", 0640);
             return d.Path("plain.txt");
         },
         "plain.txt", 0640},
        {"new file: 0666 less the umask", [](const TempDir& d) { return d.Path("new.txt"); },
         "new.txt", static_cast<mode_t>(0666 & ~mask)},
        {"symbolic link: the file it names is replaced, the link stays",
         [](const TempDir& d) {
             fs::create_directory(d.Path("real"));
             Write(d.Path("real/setting.ini"), std::string(162824, 'x'), 0600);
             fs::create_symlink("real/setting.ini", d.Path("link.ini"));
             return d.Path("link.ini");
         },
         "real/setting.ini", 0600},
        {"symbolic link to a missing file: the file is created",
         [](const TempDir& d) {
             fs::create_symlink("absent.ini", d.Path("dangling.ini"));
             return d.Path("dangling.ini");
         },
         "absent.ini", static_cast<mode_t>(0666 & ~mask)},
        {"link to a link",
         [](const TempDir& d) {
             Write(d.Path("end.txt"), "old", 0604);
             fs::create_symlink(d.Path("end.txt"), d.Path("mid"));
             fs::create_symlink("mid", d.Path("start"));
             return d.Path("start");
         },
         "end.txt", 0604},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = c.setup(dir);
        const std::vector<std::string> before = Names(dir.Root());
        const bool wasLink = fs::is_symlink(path);
        std::string error;
        ASSERT_TRUE(ReplaceFile(path, "new content\n", &error)) << error;
        EXPECT_EQ(Read(dir.Path(c.target)), "new content\n");
        EXPECT_EQ(Mode(dir.Path(c.target)), c.mode);
        EXPECT_EQ(fs::is_symlink(path), wasLink);
        std::vector<std::string> after = Names(dir.Root());
        std::vector<std::string> expected = before;
        if (std::find(expected.begin(), expected.end(), c.target) == expected.end() &&
            c.target.find('/') == std::string::npos) {
            expected.push_back(c.target);
            std::sort(expected.begin(), expected.end());
        }
        EXPECT_EQ(after, expected);  // no temporary file left
    }
}

TEST(ReplaceFile, FailedSavesLeaveTheOldFileExactly) {
    const std::string old = "the old file, which must survive\n";
    const std::string big(256 * 1024, 'n');
    struct Case {
        const char* what;
        // Prepares the folder, tries the save, returns whether it claimed success.
        std::function<bool(const TempDir&, const std::string& target)> save;
    };
    const Case cases[] = {
        {"read-only folder",
         [&](const TempDir& d, const std::string& target) {
             ::chmod(target.c_str(), 0666);  // writable in place: that must not be used
             ::chmod(d.Path("in").c_str(), 0555);
             return SaveAsUnprivileged(target, big);
         }},
        {"symbolic link into a read-only folder",
         [&](const TempDir& d, const std::string& target) {
             ::chmod(target.c_str(), 0666);
             ::chmod(d.Path("in").c_str(), 0555);
             fs::create_symlink(target, d.Path("link"));
             return SaveAsUnprivileged(d.Path("link"), big);
         }},
        {"full disk (file size limit)",
         [&](const TempDir&, const std::string& target) {
             return test::WithFullDisk(8192, [&] { return ReplaceFile(target, big, nullptr); });
         }},
        {"file size limit with the signal at its default (it would end the process)",
         [&](const TempDir&, const std::string& target) {
             return test::RunInChild([&] {
                        ::signal(SIGXFSZ, SIG_DFL);
                        struct rlimit limit {
                            8192, 8192
                        };
                        ::setrlimit(RLIMIT_FSIZE, &limit);
                        std::string error;
                        if (ReplaceFile(target, big, &error)) return 0;
                        return error.find("too large") != std::string::npos ? 1 : 2;
                    }) != 1;  // 1: the save failed with EFBIG and the process lived on
         }},
        {"full disk through a symbolic link",
         [&](const TempDir& d, const std::string& target) {
             fs::create_symlink(target, d.Path("link"));
             return test::WithFullDisk(8192,
                                       [&] { return ReplaceFile(d.Path("link"), big, nullptr); });
         }},
        {"link loop beside the target",
         [&](const TempDir& d, const std::string&) {
             fs::create_symlink("loop2", d.Path("loop1"));
             fs::create_symlink("loop1", d.Path("loop2"));
             std::string error;
             const bool ok = ReplaceFile(d.Path("loop1"), big, &error);
             EXPECT_FALSE(error.empty());
             return ok;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        fs::create_directory(dir.Path("in"));
        const std::string target = dir.Path("in/plan.pla");
        Write(target, old, 0640);
        const std::vector<std::string> before = Names(dir.Path("in"));
        EXPECT_FALSE(c.save(dir, target));
        EXPECT_EQ(Read(target), old);
        EXPECT_EQ(Names(dir.Path("in")), before);  // no temporary file left
    }
}

// A real full file system: a 64 KiB tmpfs mounted privately in a child.
// Needs the right to mount (root in most containers); skipped otherwise.
TEST(ReplaceFile, FullTmpfsKeepsTheOldFile) {
    TempDir dir;
    const std::string mountPoint = dir.Path("small");
    fs::create_directory(mountPoint);
    const int status = test::RunInChild([&] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0) {
            return 77;
        }
        const std::string target = mountPoint + "/plan.pla";
        const std::string old(20000, 'o');
        Write(target, old);
        std::string error;
        if (ReplaceFile(target, std::string(60000, 'n'), &error)) return 1;
        if (error.find("No space") == std::string::npos) return 2;
        if (Read(target) != old) return 3;
        if (Names(mountPoint) != std::vector<std::string>{"plan.pla"}) return 4;
        return 0;
    });
    if (status == 77) GTEST_SKIP() << "cannot mount a tmpfs here";
    EXPECT_EQ(status, 0);
}

TEST(ReplaceFile, RefusesWhatIsNotARegularFile) {
    TempDir dir;
    ASSERT_EQ(::mkfifo(dir.Path("fifo").c_str(), 0600), 0);
    fs::create_directory(dir.Path("folder"));
    for (const char* name : {"fifo", "folder"}) {
        SCOPED_TRACE(name);
        std::string error;
        EXPECT_FALSE(ReplaceFile(dir.Path(name), "data", &error));
        EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    }
    EXPECT_TRUE(fs::is_fifo(dir.Path("fifo")));
    std::string error;
    EXPECT_FALSE(ReplaceFile(dir.Path("no/such/folder/file"), "data", &error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

// Two processes saving the same file at once: each save is whole, the file
// always holds one of them, and no temporary file is left.
TEST(ReplaceFile, TwoWritersAtOnce) {
    TempDir dir;
    const std::string target = dir.Path("shared.ini");
    const std::string a(64 * 1024, 'a');
    const std::string b(48 * 1024, 'b');
    Write(target, a);
    std::vector<pid_t> writers;
    for (const std::string* data : {&a, &b}) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 0; i < 200; ++i) {
                if (!ReplaceFile(target, *data, nullptr)) ::_exit(1);
            }
            ::_exit(0);
        }
        writers.push_back(pid);
    }
    int torn = 0;
    int reads = 0;
    for (bool running = true; running;) {
        const std::string now = Read(target);
        ++reads;
        if (now != a && now != b) ++torn;
        running = false;
        for (pid_t pid : writers) running = running || ::waitpid(pid, nullptr, WNOHANG) == 0;
    }
    for (pid_t pid : writers) ::waitpid(pid, nullptr, 0);
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    const std::string last = Read(target);
    EXPECT_TRUE(last == a || last == b);
    EXPECT_EQ(Names(dir.Root()), std::vector<std::string>{"shared.ini"});
}

TEST(ReadRegularFile, RefusesFifosDevicesFoldersAndOversizedFiles) {
    TempDir dir;
    ASSERT_EQ(::mkfifo(dir.Path("fifo").c_str(), 0600), 0);
    fs::create_directory(dir.Path("folder"));
    Write(dir.Path("big"), std::string(1001, 'x'));
    fs::create_symlink("fifo", dir.Path("link-to-fifo"));
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& path : {dir.Path("fifo"), dir.Path("link-to-fifo"), dir.Path("folder"),
                                    dir.Path("big"), std::string("/dev/zero")}) {
        SCOPED_TRACE(path);
        std::string content = "stale";
        std::string error;
        EXPECT_EQ(ReadRegularFile(path, 1000, &content, &error), FileRead::kFailed);
        EXPECT_TRUE(content.empty());
        EXPECT_FALSE(error.empty());
    }
    // A hang would be a blocked open on the FIFO; generous bound.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    std::string content;
    std::string error;
    EXPECT_EQ(ReadRegularFile(dir.Path("missing"), 1000, &content, &error), FileRead::kMissing);
    Write(dir.Path("ok"), std::string(1000, 'y'));
    EXPECT_EQ(ReadRegularFile(dir.Path("ok"), 1000, &content, &error), FileRead::kRead);
    EXPECT_EQ(content, std::string(1000, 'y'));
}

}  // namespace
}  // namespace korva
