// A program for the board's end-to-end tests, run by simboard in place of volcheck and recorder.
//
//   board_probe say TEXT...     prints the text and exits 0
//   board_probe reboot-once     counts its boots on the card (flushed) and in the flash, asks
//                               the board for a reboot on the first one, then waits to be ended
//   board_probe hold            prints its environment and waits to be ended
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "os.h"

namespace {

int count_lines(const char* box_path) {
    FILE* f = os::fopen(box_path, "r");
    if (f == nullptr) return 0;
    int lines = 0;
    for (int c; (c = std::fgetc(f)) != EOF;) lines += c == '\n';
    std::fclose(f);
    return lines;
}

std::string read_line(const char* box_path) {
    FILE* f = os::fopen(box_path, "r");
    if (f == nullptr) return "(none)";
    char buf[64] = {};
    if (std::fgets(buf, sizeof buf, f) == nullptr) buf[0] = '\0';
    std::fclose(f);
    buf[std::strcspn(buf, "\n")] = '\0';
    return buf;
}

[[noreturn]] void wait_for_end() {
    for (;;) ::pause();
}

}  // namespace

int main(int argc, char** argv) {
    os::init();
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "say") {
        for (int i = 2; i < argc; ++i) std::printf("%s%s", argv[i], i + 1 < argc ? " " : "\n");
        return 0;
    }
    if (mode == "hold") {
        std::printf("root %s socket %s tz %s\n", std::getenv("SIMBOARD_ROOT"),
                    std::getenv("SIMBOARD_SOCKET"), std::getenv("TZ"));
        wait_for_end();
    }
    if (mode == "reboot-once") {
        const char* card_log = "/mnt/mmcblk0p1/probe.log";
        const char* flash_file = "/mnt/jffs_user/config/probe";
        const int boot = count_lines(card_log) + 1;
        std::printf("probe boot %d, flash says %s\n", boot, read_line(flash_file).c_str());
        if (FILE* f = os::fopen(card_log, "a")) {
            std::fprintf(f, "boot %d\n", boot);
            std::fclose(f);
        }
        os::sync();  // the card keeps only what was flushed when the power goes
        if (FILE* f = os::fopen(flash_file, "w")) {
            std::fprintf(f, "%d\n", boot);
            std::fclose(f);
        }
        if (boot == 1) {
            std::printf("asking for a reboot\n");
            if (os::system("reboot") != 0)
                std::printf("reboot refused: %s\n", std::strerror(errno));
        }
        wait_for_end();
    }
    std::fprintf(stderr, "board_probe: unknown mode '%s'\n", mode.c_str());
    return 2;
}
