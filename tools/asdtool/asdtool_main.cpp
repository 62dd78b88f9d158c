#include "asdtool.hpp"

int main(int argc, char** argv) {
    return asdtool_main(argc, argv);
}
