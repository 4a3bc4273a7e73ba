// The one loop every LED mode runs: check the stop flag, evaluate, show, sleep.
#pragma once

#include <cstdint>
#include <ctime>

// What one evaluation asks the loop to do with the LED.
enum class step_kind {
    show,   // write `level` to the LED, then sleep one period
    blink,  // the traffic blink (one second) in place of the write and the sleep
    stop,   // leave the loop, showing nothing: a fatal failure the body
            // logged, or a query the stop grace ended
};

struct step_result {
    step_kind kind;
    int level;
};

constexpr step_result show_level(int level) { return {step_kind::show, level}; }
constexpr step_result show_blink() { return {step_kind::blink, 0}; }
constexpr step_result end_mode() { return {step_kind::stop, 0}; }
// Logs `message` (a fatal failure of the mode's status source) and ends the
// mode.
step_result end_mode_logging(const char* message);

// One evaluation of a mode's status.
using mode_body = step_result (*)();

// Internal to each file that uses them (not `inline`): read in place, with
// no shared symbol to reach through the global offset table.
constexpr timespec PERIOD_PIN = {0, 100000000};   // modes 1 to 4
constexpr timespec PERIOD_STATUS = {1, 0};        // modes 5 to 16

struct mode_def {
    timespec period;
    mode_body body;
};

// Runs `def` until a stop signal is seen at the top of an iteration or the
// body ends the mode.
void run_mode_loop(const mode_def& def);
