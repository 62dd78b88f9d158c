// Hardware watchdog through /dev/watchdog.
#pragma once

int watchdog_set_time();
int watchdog_live();
int relese_wdt();
