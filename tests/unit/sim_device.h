// The GPIO stand-in, linked into a unit test: each sim_device is a fresh
// state folder (TAVRIN_SIM_DIR) with the device present.
#pragma once

#include <string>
#include <vector>

struct gpio_event {
    double t;          // seconds, CLOCK_MONOTONIC
    std::string kind;  // open, led, get
    std::string arg;   // open: 1/0; led: level; get: pin name
    int value;         // get: the result
};

class sim_device {
public:
    sim_device();
    ~sim_device();
    sim_device(const sim_device&) = delete;
    sim_device& operator=(const sim_device&) = delete;

    void present(bool on) const;
    void set_pin(const char* pin, const char* text) const;
    std::vector<gpio_event> events() const;
    std::vector<gpio_event> events(const char* kind) const;
    std::vector<int> led_levels() const;

private:
    std::string dir_;
};

double monotonic_seconds();
