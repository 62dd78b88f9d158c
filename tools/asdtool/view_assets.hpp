// The viewer's page and its libraries, built into the program (view_assets.cpp is generated from
// tools/asdtool/view/ and the pinned npm packages at build time).
#pragma once

#include <span>
#include <string_view>

namespace asd::view {

struct Asset {
    std::string_view name;  // "index.html", "viewer.js", "leaflet.js", ...
    std::string_view type;  // its Content-Type
    std::span<const unsigned char> bytes;
};

std::span<const Asset> assets();

}  // namespace asd::view
