#include "sim_device.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

sim_device::sim_device()
{
    char tmpl[] = "/tmp/tavrin-unit-XXXXXX";
    dir_ = mkdtemp(tmpl);
    mkdir((dir_ + "/pins").c_str(), 0755);
    setenv("TAVRIN_SIM_DIR", dir_.c_str(), 1);
    present(true);
}

sim_device::~sim_device()
{
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (std::system(cmd.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", dir_.c_str());
}

void sim_device::present(bool on) const
{
    const std::string path = dir_ + "/gpio";
    if (on) {
        if (FILE* f = std::fopen(path.c_str(), "a"))
            std::fclose(f);
    } else {
        unlink(path.c_str());
    }
}

void sim_device::set_pin(const char* pin, const char* text) const
{
    const std::string path = dir_ + "/pins/" + pin;
    if (FILE* f = std::fopen(path.c_str(), "w")) {
        std::fputs(text, f);
        std::fclose(f);
    }
}

std::vector<gpio_event> sim_device::events() const
{
    std::vector<gpio_event> out;
    FILE* f = std::fopen((dir_ + "/gpio.log").c_str(), "r");
    if (f == nullptr)
        return out;
    char line[256];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        long long ns = 0;
        char kind[32] = "", arg[32] = "";
        int value = 0;
        if (std::sscanf(line, "%lld %31s %31s %d", &ns, kind, arg, &value) >= 3)
            out.push_back({static_cast<double>(ns) / 1e9, kind, arg, value});
    }
    std::fclose(f);
    return out;
}

std::vector<gpio_event> sim_device::events(const char* kind) const
{
    std::vector<gpio_event> out;
    for (const gpio_event& e : events())
        if (e.kind == kind)
            out.push_back(e);
    return out;
}

std::vector<int> sim_device::led_levels() const
{
    std::vector<int> out;
    for (const gpio_event& e : events("led"))
        out.push_back(std::atoi(e.arg.c_str()));
    return out;
}

double monotonic_seconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
