// Reading a drawing by stages: check (DxfCheck.cpp), read (DxfRead.cpp),
// expand (DxfExpand.cpp).
#include "DxfLoad.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <locale>
#include <string>

#include "DxfRecords.h"
#include "LargeBuffers.h"

namespace korva::cadio {
namespace {

bool ReadWholeFile(const std::string& path, std::string* content, std::string* error) {
    // Not blocking in open(): a FIFO without a writer would wait for ever.
    // Anything but a regular file is refused before a byte is read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "cannot read " + path + ": not a regular file";
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (st.st_size > 0) {
        content->reserve(static_cast<std::size_t>(st.st_size));
        AdviseLargeBuffer(content->data(), content->capacity());
    }
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = "cannot read " + path + ": " + std::strerror(errno);
            return false;
        }
        content->append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

bool LoadDxfText(std::string_view content, Model* out, std::string* error, const Progress& progress,
                 bool plainEntities) {
    // dxflib reads numbers with the global C++ locale; under a decimal comma it
    // would misread every coordinate.
    if (std::use_facet<std::numpunct<char>>(std::locale()).decimal_point() != '.') {
        *error = "the program's C++ locale does not use a decimal point";
        return false;
    }
    dxf::ProgressSink sink(progress);
    std::string checked;
    if (!NormalizeDxf(content, &checked, error, progress, 30)) return false;
    dxf::Records records;
    if (!dxf::ReadRecords(checked, plainEntities, sink, 30, 90, &records, error)) return false;
    // The checked text can be large; it is not needed any more.
    std::string().swap(checked);
    Model model;
    if (!dxf::ExpandRecords(records, &model, error)) return false;
    sink.Report(100);
    *out = std::move(model);
    return true;
}

bool LoadDxfFile(const std::string& path, Model* out, std::string* error,
                 const Progress& progress) {
    std::string content;
    if (!ReadWholeFile(path, &content, error)) return false;
    return LoadDxfText(content, out, error, progress);
}

}  // namespace korva::cadio
