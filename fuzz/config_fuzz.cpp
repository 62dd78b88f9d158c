// The recorder's configuration reader on any basic_conf: every setting that reaches a table or
// the recording file header ends up inside its range, the texts stay terminated in their fields.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "config.h"
#include "fuzz_root.hpp"

namespace {

bool terminated(const char* field, size_t size) {
    return std::memchr(field, '\0', size) != nullptr;
}

bool one_of(int value, const int (&table)[4], int off) {
    for (const int v : table) {
        if (v == value) return true;
    }
    return value == off;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::Root& root = fuzz::root();
    reset_config_globals();
    fuzz::write_file(root.card() / "configs/basic_conf", std::span(data, size));

    FUZZ_CHECK(ParseBasicConf() == 0);
    FUZZ_CHECK(g_res == 32 || g_res == 64);
    FUZZ_CHECK(g_qp >= 0 && g_qp <= 5);
    FUZZ_CHECK(g_preRecTime >= 1 && g_preRecTime <= 3);
    // Without a PRERECTIME line the depth keeps its start value (4), as the recorder defines.
    FUZZ_CHECK(g_recHistoryDepth >= 2 && g_recHistoryDepth <= 4);
    FUZZ_CHECK(g_audioRec == 0 || g_audioRec == 1);
    FUZZ_CHECK(g_fpsParking == 0 || g_fpsParking == 1);
    FUZZ_CHECK(g_exFileHeader.tzIndex <= 33);
    FUZZ_CHECK(g_exFileHeader.useDST <= 1);
    FUZZ_CHECK(g_exFileHeader.speedUnit <= 2);
    FUZZ_CHECK(terminated(g_exFileHeader.password, sizeof g_exFileHeader.password));
    FUZZ_CHECK(terminated(g_exFileHeader.vehicleNumber, sizeof g_exFileHeader.vehicleNumber));
    constexpr int kImpactOff = 20000;
    FUZZ_CHECK(one_of(g_gsCSValueX, GSVAL_X, kImpactOff));
    FUZZ_CHECK(one_of(g_gsCSValueY, GSVAL_Y, kImpactOff));
    FUZZ_CHECK(one_of(g_gsCSValueZ, GSVAL_Z, kImpactOff));
    return 0;
}
