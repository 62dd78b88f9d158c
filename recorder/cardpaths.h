// Fixed places on the SD card and in the flash file system.
#pragma once

namespace cardpath {

constexpr const char* kCard = "/mnt/mmcblk0p1";
constexpr const char* kDataDir = "/mnt/mmcblk0p1/data";
constexpr const char* kConfigDir = "/mnt/mmcblk0p1/configs";
constexpr const char* kUpdateDir = "/mnt/mmcblk0p1/update";
constexpr const char* kSnapshotDir = "/mnt/mmcblk0p1/snapshot";
constexpr const char* kBasicConf = "/mnt/mmcblk0p1/configs/basic_conf";
constexpr const char* kFlashBasicConf = "/mnt/jffs_user/config/basic_conf";
// Rewritten at every start; its presence is the sign that the card is still mounted.
constexpr const char* kVersionStamp = "/mnt/mmcblk0p1/Firmware_version.txt";
constexpr const char* kRecinfo = "/mnt/mmcblk0p1/data/recinfo";
constexpr const char* kRecinfoBak = "/mnt/mmcblk0p1/data/recinfo.bak";
constexpr const char* kSnapIndex = "/mnt/mmcblk0p1/snapshot/index";

}  // namespace cardpath
