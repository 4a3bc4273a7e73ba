// The device's I/O pins, probed once through the platform's I/O tool and then
// read from the GPIO device; and the LED modes that mirror them.
#pragma once

#include "daemon/loop.h"

inline constexpr const char* IO_TOOL = "/usr/bin/io";

enum pin_support : int {
    PIN_SUPPORT_UNPROBED = 0,  // not probed yet, or the last probe could not be read
    PIN_SUPPORT_IOCTL = 1,     // the pin exists: read it from the GPIO device
    PIN_SUPPORT_NONE = 2,      // the pin does not exist: it reads 0
};

enum pin_id : int { PIN_BIN0, PIN_BIN1, PIN_BIN2, PIN_BIN3, PIN_OUT0, PIN_OUT1 };

// pin_probe and pin_read: the probe's tool was ended (or not started) by the
// stop grace. The pin's state is unchanged, and nothing is to be shown.
inline constexpr int PIN_PROBE_ABANDONED = -2;

// The pin's level: a read error or a missing pin reads 0. Negative only as
// PIN_PROBE_ABANDONED.
int pin_read(pin_id pin);

// Asks the I/O tool whether the pin exists. Returns the tool's exit code (the
// pin's first level), -1 when the pin is absent or the answer unreadable,
// or PIN_PROBE_ABANDONED.
int pin_probe(pin_id pin);

pin_support pin_support_of(pin_id pin);

// LED on while the input reads 0 (modes 1 and 2).
step_result mode_bin0_low();
step_result mode_bin1_low();
// LED follows the output's level (modes 3 and 4).
step_result mode_out0();
step_result mode_out1();
