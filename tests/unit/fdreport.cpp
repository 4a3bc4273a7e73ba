// Test child: writes to the file named by argv[1] one line per standard
// descriptor ("0 <target>" or "0 closed"), one line "open <fd>" per other
// open descriptor, and "argc <n>".
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    char lines[8192];
    size_t used = 0;
    auto add = [&](const char* text) {
        size_t n = strlen(text);
        if (used + n < sizeof lines) {
            memcpy(lines + used, text, n);
            used += n;
        }
    };
    char buf[512];
    for (int fd = 0; fd < 3; ++fd) {
        char link[64];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        char target[400];
        ssize_t n = readlink(link, target, sizeof target - 1);
        if (n < 0) {
            snprintf(buf, sizeof buf, "%d closed\n", fd);
        } else {
            target[n] = '\0';
            snprintf(buf, sizeof buf, "%d %s\n", fd, target);
        }
        add(buf);
    }
    DIR* dir = opendir("/proc/self/fd");
    const int own = dir != nullptr ? dirfd(dir) : -1;
    while (dirent* e = dir != nullptr ? readdir(dir) : nullptr) {
        int fd = atoi(e->d_name);
        if (e->d_name[0] == '.' || fd < 3 || fd == own)
            continue;
        snprintf(buf, sizeof buf, "open %d\n", fd);
        add(buf);
    }
    if (dir != nullptr)
        closedir(dir);
    snprintf(buf, sizeof buf, "argc %d\n", argc);
    add(buf);
    int out = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0)
        return 3;
    ssize_t w = write(out, lines, used);
    close(out);
    return w == static_cast<ssize_t>(used) ? 0 : 4;
}
