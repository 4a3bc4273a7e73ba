#include "modes/capture.h"

#include "spawn/spawn.h"

#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

capture_file::capture_file(const char* path) : path_(path), fd_(open_capture(path))
{
    // The runner closes what it is given after the fork: it gets a
    // duplicate, above 2 like the file itself.
    redirect_stdout(fd_ < 0 ? -1 : fcntl(fd_, F_DUPFD_CLOEXEC, 3));
}

capture_file::~capture_file()
{
    if (fd_ >= 0)
        close(fd_);
}

int capture_file::size() const
{
    if (fd_ < 0)
        return file_size(path_);
    struct stat st;
    if (fstat(fd_, &st) != 0)
        return 0;
    return st.st_size > INT_MAX ? INT_MAX : static_cast<int>(st.st_size);
}

int capture_file::scan_count(const char* format, unsigned* value) const
{
    if (fd_ < 0)
        return capture_scan_count(open_capture_read(path_), format, value);
    // The query's writes moved the shared offset to the end.
    if (lseek(fd_, 0, SEEK_SET) != 0)
        return -1;
    const int copy = fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return -1;
    FILE* file = fdopen(copy, "r");
    if (file == nullptr)
        close(copy);
    return capture_scan_count(file, format, value);
}

int capture_scan_count(FILE* file, const char* format, unsigned* value)
{
    if (file == nullptr)
        return -1;
    const int got = std::fscanf(file, format, value);
    std::fclose(file);
    return got == 1 ? 0 : -1;
}
