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

// The pin's level, never negative: a read error or a missing pin reads 0.
int pin_read(pin_id pin);

// Asks the I/O tool whether the pin exists. Returns the tool's exit code (the
// pin's first level) or -1 when the pin is absent or the answer unreadable.
int pin_probe(pin_id pin);

pin_support pin_support_of(pin_id pin);

// LED on while the input reads 0 (modes 1 and 2).
step_result mode_bin0_low();
step_result mode_bin1_low();
// LED follows the output's level (modes 3 and 4).
step_result mode_out0();
step_result mode_out1();
