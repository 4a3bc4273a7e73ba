// Sends a signal and says when: "signal_at SIG PID" prints the
// CLOCK_MONOTONIC nanoseconds read just before kill(), the clock that
// stamps the LED writes, so a test knows what the daemon did after it.
// Exit 1 when the signal could not be sent.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    const int sig = std::atoi(argv[1]);
    const pid_t pid = static_cast<pid_t>(std::atol(argv[2]));
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (kill(pid, sig) != 0)
        return 1;
    std::printf("%lld\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    return 0;
}
