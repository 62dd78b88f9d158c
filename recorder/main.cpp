// The recorder program. Arguments are ignored; it never returns: after start-up the main thread
// only takes the accelerometer and timer signals, and everything else runs in the threads.
#include <unistd.h>

#include "config.h"
#include "os.h"
#include "startup.h"

int main() {
    os::init();
    // Every thread created from here on inherits the blocked signals; only this thread takes
    // them, once start-up is over.
    block_async_signals();
    ParseBasicConf();
    // Without devices the threads and the timer still start; they never find a recording.
    init_record();
    start_workers();
    initSignal();
    unblock_async_signals();
    for (;;) pause();
}
