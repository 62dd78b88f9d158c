// The asdtool program as a function, so that the fuzz targets run its commands in-process.
#pragma once

// The whole program: argv[1] is the command. Returns the exit status.
int asdtool_main(int argc, char** argv);
