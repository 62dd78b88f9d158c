// The error halt: where the recorder ends when recording can no longer go on. It closes the
// recording file through the step registered for it, stops the accelerometer and then, for
// ever, sets the codec volume, repeats the error prompt, sends the error code to the front
// sub-board and feeds the watchdog, until power is removed.
//
// The halt never keeps rec_mutex: the front sub-board reader (GPS time, the erase key, its
// silence supervision) and the IBC reader (mode changes, reboots) go on while it repeats. No
// recording file is opened any more once it is entered.
#pragma once

constexpr int HALT_STORAGE = 255;     // card size, free space, file creation, write errors
constexpr int HALT_FRONT_CAMERA = 1;  // the front camera stopped delivering frames

// Enters the error halt with `code`, closing the recording file first when `closeFile` is set.
// Called with or without rec_mutex; a hold of the calling thread is given back for good. A
// second thread that enters it while the first repeats its code stops there, silently.
[[noreturn]] void error_halt(int code, bool closeFile);

// Whether the error halt has been entered.
bool halt_entered();

// How the halt closes the recording file (stop_record, registered at start-up). Run with
// rec_mutex held. Without one the halt closes nothing.
using HaltCloseStep = int (*)();
void set_halt_close_step(HaltCloseStep step);

// Called once the halt is entered (after the file is closed, the accelerometer released and
// rec_mutex given back), before the endless loop. The program leaves it empty; tests set a hook
// that records the code and throws, so that they can observe the halt without looping for ever.
using HaltHook = void (*)(int code);
void set_halt_hook(HaltHook hook);

// Every global of this file back at its start value: not halted, no close step, no hook (tests).
void reset_halt_globals();
