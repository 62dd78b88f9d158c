// IBC controller link on /dev/ttySAC2: start command, then "$APW" state sentences.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "event.h"

int init_ibc(EventCallback callback);
int start_ibc();

// --- The pieces of the link, for its tests and the simulated board's harness ----------------

extern int ttySAC2_fd;                               // the port, -1 while not open
extern std::array<uint8_t, ibcrec::SIZE> g_ibcdata;  // record handed to the callback

// Parses an "$APW" line into `record`, cleared first. Fields the line does not have get the
// values of empty fields; nothing is read past the end of the line.
void ParseAPW(std::string_view line, std::span<uint8_t, ibcrec::SIZE> record);

// The sentence test of the reader: an "$APW" line is parsed into g_ibcdata and handed to the
// callback. True when a sentence was processed.
bool ProcessIBCMessage(std::string_view line);

// One turn of ibc_thread: one read and the sentences it completes.
void IBCReadTurn();

// Ends ibc_thread (it ends at its next turn) and waits for it; not from the thread itself.
// The recorder never stops the reader; shutdown code and tests do.
void release_ibc();
