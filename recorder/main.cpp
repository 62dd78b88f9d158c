// The recorder program: configuration, storage and the first recording file, then it waits.
#include <unistd.h>

#include "capture.h"
#include "config.h"
#include "os.h"
#include "storage.h"

int main() {
    os::init();
    ParseBasicConf();
    g_drEv = 1;
    prepare_storage();
    {
        RecLock lock;
        start_record();
    }
    for (;;) pause();
}
