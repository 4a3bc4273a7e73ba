#include "spawn/capture.h"

#include "common/text.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {
// The mode of a published capture (narrowed by the daemon's umask), for
// the device's other software to read.
constexpr mode_t CAPTURE_MODE = 0644;

// A private copy's name: the capture's name, a dot, and RANDOM_CHARS
// characters of NAME_ALPHABET (32 of them: 2^30 names), stepped by the C
// standard's example rand() from one attempt to the next.
constexpr size_t RANDOM_CHARS = 6;
constexpr char NAME_ALPHABET[] = "abcdefghijklmnopqrstuvwxyz012345";
static_assert(sizeof NAME_ALPHABET - 1 == 32, "five bits a character");
constexpr uint32_t RAND_MULTIPLIER = 1103515245U;
constexpr uint32_t RAND_INCREMENT = 12345U;
constexpr int CREATE_ATTEMPTS = 100;
}  // namespace

int create_copy(const char* path, char (&name)[PATH_MAX], uint32_t seed)
{
    const size_t length = std::strlen(path);
    if (length + 1 + RANDOM_CHARS + 1 > sizeof name)
        return -1;
    std::memcpy(name, path, length);
    name[length] = '.';
    char* random = name + length + 1;
    uint32_t bits = seed;
    for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
        for (size_t i = 0; i < RANDOM_CHARS; ++i) {
            bits = bits * RAND_MULTIPLIER + RAND_INCREMENT;
            random[i] = NAME_ALPHABET[(bits >> 16) % (sizeof NAME_ALPHABET - 1)];
        }
        random[RANDOM_CHARS] = '\0';
        const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, CAPTURE_MODE);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

namespace {
// A seed that differs from run to run: the clock and where this process's
// stack lies.
uint32_t copy_seed()
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint32_t>(now.tv_nsec) ^ static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&now));
}

// Writes all of `bytes`; false on any failure (no room, an I/O error).
bool write_all(int fd, const char* bytes, size_t count)
{
    while (count > 0) {
        const ssize_t wrote = write(fd, bytes, count);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        bytes += wrote;
        count -= static_cast<size_t>(wrote);
    }
    return true;
}

// Renames `copy` over `path`. rename() replaces a link, FIFO or file at
// the name without following it; an empty folder there is removed first
// (never recursively).
bool replace_name(const char* copy, const char* path)
{
    if (rename(copy, path) == 0)
        return true;
    return errno == EISDIR && rmdir(path) == 0 && rename(copy, path) == 0;
}

}  // namespace

void answer_head_clear(answer_head* head)
{
    head->text[0] = '\0';
    head->kept = 0;
    head->size = 0;
}

void answer_head_add(answer_head* head, const char* bytes, size_t count)
{
    const size_t room = ANSWER_HEAD - head->kept;
    const size_t kept = count < room ? count : room;
    std::memcpy(head->text + head->kept, bytes, kept);
    head->kept += kept;
    head->text[head->kept] = '\0';
    head->size = count > SIZE_MAX - head->size ? SIZE_MAX : head->size + count;
}

int answer_head_scan(const answer_head& head, const char* format, unsigned* value)
{
    return scan_counts(head.text, format, value) == 1 ? 0 : -1;
}

namespace {
// The private copy of an answer beside its capture's name. It is made when
// the answer's first bytes arrive (or, for an empty answer, when it is
// published), so none is made for a query that is not started; the first
// write that fails removes it at once (a tool may go on writing for long,
// and /tmp is the router's memory).
class answer_copy {
public:
    explicit answer_copy(const char* capture) : capture_(capture) {}
    ~answer_copy() { discard(); }
    answer_copy(const answer_copy&) = delete;
    answer_copy& operator=(const answer_copy&) = delete;

    void add(const char* bytes, size_t count)
    {
        if (make() && !write_all(fd_, bytes, count))
            discard();
    }

    // Renames the copy over the capture's name; removes it when that fails.
    void publish()
    {
        if (!make())
            return;
        const bool closed = close(fd_) == 0;
        fd_ = -1;
        if (!closed || !replace_name(name_, capture_))
            unlink(name_);
    }

private:
    // The copy, made at the first call: false once it cannot be had.
    bool make()
    {
        if (fd_ < 0 && !failed_) {
            // Kept above 2 as the pipe is (a daemon started with them closed).
            const int made = create_copy(capture_, name_, copy_seed());
            fd_ = move_above_stdio(made);
            if (made >= 0 && fd_ < 0)
                unlink(name_);
            failed_ = fd_ < 0;
        }
        return fd_ >= 0;
    }

    void discard()
    {
        if (fd_ >= 0) {
            close(fd_);
            unlink(name_);
            fd_ = -1;
        }
        failed_ = true;
    }

    const char* capture_;
    int fd_ = -1;
    bool failed_ = false;
    char name_[PATH_MAX];
};

// Where the runner puts an answer's bytes as it reads them.
struct answer_reading {
    answer_head* head;
    answer_copy* copy;
};

void take(void* into, const char* bytes, size_t count)
{
    const answer_reading& reading = *static_cast<answer_reading*>(into);
    answer_head_add(reading.head, bytes, count);
    reading.copy->add(bytes, count);
}
}  // namespace

void ask_tool(const char* capture, const char* command, tool_answer* answer)
{
    answer_head_clear(&answer->head);
    answer_copy copy(capture);
    answer_reading reading = {&answer->head, &copy};
    output_drain drain = {-1, take, &reading};
    int fds[2];
    if (open_child_pipe(fds)) {
        drain.fd = fds[0];
        redirect_stdout(fds[1]);  // the runner's from now on
    }
    answer->query = run_shell(command, drain.fd >= 0 ? &drain : nullptr);
    if (drain.fd >= 0)
        close(drain.fd);
    answer->whole = answer->query.end == query_end::exited && answer->query.output_read;
    if (answer->whole)
        copy.publish();
}
