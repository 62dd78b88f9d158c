// volcheck [level]
#include "os.h"
#include "volcheck.h"

int main(int argc, char** argv) {
    os::init();
    return volcheck_main(argc, argv);
}
