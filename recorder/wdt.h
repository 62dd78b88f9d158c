// Hardware watchdog through /dev/watchdog.
#pragma once

extern int wdt_fd;  // descriptor of /dev/watchdog, -1 when not open

int watchdog_set_time();
int watchdog_live();
int relese_wdt();

// Linux watchdog requests.
constexpr unsigned long WDIOC_SETTIMEOUT = 0xC0045706;
constexpr unsigned long WDIOC_KEEPALIVE = 0x80045705;
